# Windows: the Win32 realisation of the platform, and Kavrel.dll, an
# in-process automation server exporting exactly the four server entry
# points, with its type library, identifier and version resources.
list(APPEND KAVREL_CORE_SOURCES
  component/registration_win32.cpp
  platform/win32/device_ops.cpp
  platform/win32/module.cpp
  platform/win32/native_runtime.cpp
  platform/win32/network_ops.cpp
  # Portable parts of the device model that network ports share with Linux.
  platform/net/network_port.cpp
  platform/net/telnet_codec.cpp
  platform/posix/device_calls.cpp
  platform/posix/line_settings.cpp
  platform/posix/transfer.cpp
)

# The system libraries the component calls.
set(KAVREL_WIN32_LIBS oleaut32 ole32 user32 uuid ws2_32 advapi32)

if(NOT KAVREL_WIDL)
  find_program(KAVREL_WIDL NAMES widl REQUIRED)
endif()
# widl needs the standard IDL files (Wine's development package has them)
# and stdole2.tlb for importlib.
set(KAVREL_IDL_INCLUDE /usr/include/wine/wine/windows CACHE PATH "Directory holding oaidl.idl")
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KAVREL_WIDL_TARGET --win64)
  set(KAVREL_STDOLE_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows CACHE PATH
      "Directory holding stdole2.tlb")
else()
  set(KAVREL_WIDL_TARGET --win32)
  set(KAVREL_STDOLE_DIR /usr/lib/i386-linux-gnu/wine/i386-windows CACHE PATH
      "Directory holding stdole2.tlb")
endif()

function(kavrel_add_shared_library)
  set(idl ${CMAKE_CURRENT_SOURCE_DIR}/component/kavrel.idl)
  set(KAVREL_TLB ${CMAKE_CURRENT_BINARY_DIR}/kavrel.tlb)
  add_custom_command(
    OUTPUT ${KAVREL_TLB}
    COMMAND ${KAVREL_WIDL} ${KAVREL_WIDL_TARGET} -t -I${KAVREL_IDL_INCLUDE}
            -L ${KAVREL_STDOLE_DIR} -o ${KAVREL_TLB} ${idl}
    DEPENDS ${idl}
    COMMENT "Compiling the type library"
    VERBATIM)
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/component/kavrel.rc.in
                 ${CMAKE_CURRENT_BINARY_DIR}/kavrel.rc @ONLY)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/kavrel.rc)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${KAVREL_TLB})

  set(def ${CMAKE_CURRENT_SOURCE_DIR}/cmake/Kavrel.def)
  add_library(kavrel SHARED component/exports.cpp ${rc} ${def})
  target_link_libraries(kavrel PRIVATE kavrel_core ${KAVREL_WIN32_LIBS})
  target_include_directories(kavrel PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  kavrel_warnings(kavrel)
  set_target_properties(kavrel PROPERTIES OUTPUT_NAME Kavrel PREFIX "" LINK_DEPENDS ${def})
  # No runtime DLL of the compiler may be needed next to Kavrel.dll.
  target_link_options(kavrel PRIVATE -static -static-libgcc -static-libstdc++
                      -Wl,--enable-stdcall-fixup $<$<CONFIG:Release,MinSizeRel>:-s>)
endfunction()
