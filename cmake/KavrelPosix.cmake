# Linux: the POSIX realisation of the platform, and libkavrel.so exporting
# exactly the in-process server entry points and the automation helpers.
list(APPEND KAVREL_CORE_SOURCES
  component/registry_file.cpp
  platform/mode_string.cpp
  platform/net/network_port.cpp
  platform/net/telnet_codec.cpp
  platform/posix/device_calls.cpp
  platform/posix/device_ops.cpp
  platform/posix/handle_table.cpp
  platform/posix/line_settings.cpp
  platform/posix/network_device.cpp
  platform/posix/termios_line.cpp
  platform/posix/null_modem.cpp
  platform/posix/port_names.cpp
  platform/posix/transfer.cpp
  platform/posix/tty_device.cpp
  platform/posix/win32_errors.cpp
  platform/posix/native_runtime.cpp
  platform/posix/oleaut.cpp
  platform/posix/text_codec.cpp
)

# The binary interface's version: the library is libkavrel.so.1 to the
# dynamic linker (its SONAME), whatever compatible release is installed.
set(KAVREL_SOVERSION 1)
set(KAVREL_SONAME libkavrel.so.${KAVREL_SOVERSION})

function(kavrel_add_shared_library)
  add_library(kavrel SHARED component/exports.cpp)
  target_link_libraries(kavrel PRIVATE kavrel_core)
  target_include_directories(kavrel PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
                                           $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  kavrel_warnings(kavrel)
  set(script ${CMAKE_CURRENT_SOURCE_DIR}/cmake/libkavrel.map)
  target_link_options(kavrel PRIVATE "-Wl,--version-script=${script}" "-Wl,--no-undefined")
  set_target_properties(kavrel PROPERTIES LINK_DEPENDS ${script} CXX_VISIBILITY_PRESET hidden
                        VERSION ${PROJECT_VERSION} SOVERSION ${KAVREL_SOVERSION})
endfunction()

# The code-page conversion runs over every byte sent and received; GCC's -O2
# leaves its copy loops scalar unless the vectoriser may weigh the cost.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set_source_files_properties(platform/posix/text_codec.cpp PROPERTIES COMPILE_OPTIONS "-fvect-cost-model=dynamic")
endif()
