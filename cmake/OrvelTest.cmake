# orvel_add_test(NAME name LABELS label... SOURCES file... [LIBS lib...])
# The one way a test is registered: a GoogleTest executable whose cases are
# listed with CTest under the given labels, so one area can run alone
# (ctest -L files). One folder holds the tests of one area.
find_package(GTest REQUIRED)
include(GoogleTest)

function(orvel_add_test)
  cmake_parse_arguments(T "" "NAME" "LABELS;SOURCES;LIBS" ${ARGN})
  if(NOT T_NAME OR NOT T_SOURCES OR NOT T_LABELS)
    message(FATAL_ERROR "orvel_add_test needs NAME, LABELS and SOURCES")
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  orvel_warnings(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} OrvelTestSupport GTest::gtest GTest::gtest_main)
  # gtest_discover_tests splits list-valued properties, so the labels go on
  # the folder: every test registered in it carries them.
  set_property(DIRECTORY APPEND PROPERTY LABELS ${T_LABELS})
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60)
endfunction()
