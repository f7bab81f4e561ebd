# Warnings as errors on our own code only.
function(kavrel_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
    # GCC 12 at -O3 reports overlapping copies inside libstdc++'s own
    # operator+(const char*, std::string&&) (GCC bug 105329): a warning about
    # the library, not about our code, so it stays a warning.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
      target_compile_options(${target} PRIVATE -Wno-error=restrict)
    endif()
  endif()
endfunction()
