# kelv_add_test(NAME source... LIBS lib...)
# One GoogleTest executable per subsystem; every TEST becomes a CTest test.
function(kelv_add_test name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  find_package(GTest REQUIRED)
  include(GoogleTest)
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} kelv_test_support GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "KELV_BINARY_DIR=${CMAKE_BINARY_DIR}")
endfunction()
