# What both mingw-w64 toolchain files share; each sets CMAKE_SYSTEM_PROCESSOR
# and KAVREL_MINGW_TRIPLET, then includes this. The posix thread model of the
# compilers gives the C++ thread support library; the runtime libraries are
# linked statically.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${KAVREL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KAVREL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KAVREL_MINGW_TRIPLET}-windres)
set(KAVREL_WIDL ${KAVREL_MINGW_TRIPLET}-widl)

set(CMAKE_FIND_ROOT_PATH /usr/${KAVREL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
