# Tests and benchmarks are built where their packages are.  Where one is
# missing the rest still builds, and the test run fails, naming what to
# install: it never passes on no tests at all.

set(TPCC_MISSING "")
if(TPCC_BUILD_TESTS)
  enable_testing()
  find_package(GTest QUIET)
  if(GTest_FOUND)
    add_subdirectory(tests)
  else()
    list(APPEND TPCC_MISSING "GoogleTest and GoogleMock (Debian: libgtest-dev libgmock-dev)")
  endif()
endif()
if(TPCC_BUILD_BENCH)
  find_package(benchmark QUIET)
  if(benchmark_FOUND)
    add_subdirectory(bench)
  else()
    list(APPEND TPCC_MISSING "Google Benchmark (Debian: libbenchmark-dev)")
  endif()
endif()

if(TPCC_MISSING)
  list(JOIN TPCC_MISSING "; " missing)
  set(advice "Not built, for want of ${missing}. Install them (apt-get install libgtest-dev \
libgmock-dev libbenchmark-dev) and run the tests again, or turn TPCC_BUILD_TESTS and \
TPCC_BUILD_BENCH off to build without them.")
  message(WARNING "${advice}")
  if(TPCC_BUILD_TESTS)
    add_test(NAME test_packages_installed
             COMMAND ${CMAKE_COMMAND} "-DMESSAGE=${advice}" -P ${PROJECT_SOURCE_DIR}/cmake/Fail.cmake)
  endif()
endif()
