# Cross-compiling Kavrel.dll for 64-bit Windows with mingw-w64.
# The posix thread model of the compilers gives the C++ thread support
# library; the runtime libraries are linked statically.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KAVREL_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${KAVREL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KAVREL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KAVREL_MINGW_TRIPLET}-windres)
set(KAVREL_WIDL ${KAVREL_MINGW_TRIPLET}-widl)

set(CMAKE_FIND_ROOT_PATH /usr/${KAVREL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
