# Cross-compiling Kavrel.dll for 64-bit Windows with mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KAVREL_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)
