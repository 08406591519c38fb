# Tests and benchmarks are built where their packages are.  Where one is
# missing the rest still builds, and the test run fails, naming what to
# install: it never passes on no tests at all.

set(TPCC_MISSING "")
set(TPCC_MISSING_DEBIAN "")
if(TPCC_BUILD_TESTS)
  enable_testing()
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    list(APPEND TPCC_MISSING "GoogleTest (with GoogleMock)")
    list(APPEND TPCC_MISSING_DEBIAN libgtest-dev libgmock-dev)
  endif()
  if(NOT CMAKE_C_COMPILER)
    list(APPEND TPCC_MISSING "a C compiler")
    list(APPEND TPCC_MISSING_DEBIAN gcc)
  endif()
  if(GTest_FOUND AND CMAKE_C_COMPILER)
    add_subdirectory(tests)
  endif()
endif()
if(TPCC_BUILD_BENCH)
  find_package(benchmark QUIET)
  if(benchmark_FOUND)
    add_subdirectory(bench)
  else()
    list(APPEND TPCC_MISSING "Google Benchmark")
    list(APPEND TPCC_MISSING_DEBIAN libbenchmark-dev)
  endif()
endif()

if(TPCC_MISSING)
  list(JOIN TPCC_MISSING " and " missing)
  list(JOIN TPCC_MISSING_DEBIAN " " debian)
  set(advice "The tests and benchmarks need ${missing}, which this machine lacks. Install \
them (Debian: apt-get install ${debian}) and run the tests again, or set TPCC_BUILD_TESTS and \
TPCC_BUILD_BENCH to OFF to build without them.")
  message(WARNING "${advice}")
  if(TPCC_BUILD_TESTS)
    add_test(NAME test_packages_installed
             COMMAND ${CMAKE_COMMAND} "-DMESSAGE=${advice}" -P ${PROJECT_SOURCE_DIR}/cmake/Fail.cmake)
  endif()
endif()
