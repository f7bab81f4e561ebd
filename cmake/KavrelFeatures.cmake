# Decides which of the optional parts are built. Each of KAVREL_TESTS,
# KAVREL_BENCH and KAVREL_FUZZ is ON, OFF or AUTO:
#   AUTO  built when what it needs is found; otherwise one line says why not
#   ON    built; the configuration fails when what it needs is missing
#   OFF   not built
# The outcome is KAVREL_BUILD_TESTS, KAVREL_BUILD_BENCH, KAVREL_BUILD_FUZZ.

# kavrel_feature(<part> <what> <found> <missing>): <found> is true when the
# dependency is there, <missing> says what to install.
function(kavrel_feature part what found missing)
  set(setting "${KAVREL_${part}}")
  string(TOUPPER "${setting}" setting)
  if(setting STREQUAL "AUTO")
    if(found)
      set(on TRUE)
    else()
      set(on FALSE)
      message(STATUS "Kavrel: ${what} off: ${missing}")
    endif()
  elseif(setting)
    if(NOT found)
      message(FATAL_ERROR "Kavrel: KAVREL_${part}=ON but ${missing}")
    endif()
    set(on TRUE)
  else()
    set(on FALSE)
  endif()
  set(KAVREL_BUILD_${part} ${on} PARENT_SCOPE)
endfunction()

if(CMAKE_CROSSCOMPILING)
  # Only the Windows tests are built across, and they need nothing more;
  # benchmarks and fuzzers run on the build machine only.
  kavrel_feature(TESTS "tests" TRUE "")
  set(KAVREL_BUILD_BENCH FALSE)
  set(KAVREL_BUILD_FUZZ FALSE)
  return()
endif()

set(found FALSE)
if(KAVREL_TESTS)
  find_package(GTest QUIET)
  set(found ${GTest_FOUND})
endif()
kavrel_feature(TESTS "tests" "${found}" "GoogleTest not found (Debian: libgtest-dev)")

# The benchmarks time themselves (bench/paired.h) and need nothing more.
kavrel_feature(BENCH "benchmarks" TRUE "")

set(found FALSE)
if(KAVREL_FUZZ)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    include(CheckCXXSourceCompiles)
    set(CMAKE_REQUIRED_FLAGS -fsanitize=fuzzer)
    set(CMAKE_REQUIRED_LINK_OPTIONS -fsanitize=fuzzer)
    check_cxx_source_compiles([[
      #include <cstddef>
      #include <cstdint>
      extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }
    ]] KAVREL_HAVE_LIBFUZZER)
    unset(CMAKE_REQUIRED_FLAGS)
    unset(CMAKE_REQUIRED_LINK_OPTIONS)
    set(found ${KAVREL_HAVE_LIBFUZZER})
    set(missing "clang's libFuzzer runtime not found (Debian: libclang-rt-14-dev)")
  else()
    set(missing "the fuzzers need clang (configure with CC=clang CXX=clang++)")
  endif()
endif()
kavrel_feature(FUZZ "fuzzers" "${found}" "${missing}")
