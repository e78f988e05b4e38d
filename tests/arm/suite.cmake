# The test suite of a cross build. The test programs are ARM programs: the host
# can neither list their cases nor run them, so nothing is registered to run
# here. Every program that a host build would hand to gtest_discover_tests is
# collected instead, and one test, arm_suite (label "arm"), boots the ARM
# virtual machine that runs each of their cases in a process of its own, as
# CTest does on the host (tests/arm/run.sh).
#
# Included by tests/CMakeLists.txt after include(GoogleTest), whose
# gtest_discover_tests it replaces for the rest of the configuration.

set_property(GLOBAL PROPERTY OSL_ARM_SUITE "")
set_property(GLOBAL PROPERTY OSL_ARM_DIR ${CMAKE_CURRENT_LIST_DIR})

# Same signature as GoogleTest's; its options only concern host discovery.
function(gtest_discover_tests target)
  set_property(GLOBAL APPEND PROPERTY OSL_ARM_SUITE "gtest $<TARGET_FILE:${target}>")
endfunction()

# A test program that is not a GoogleTest program: it passes by exiting 0.
function(osl_arm_suite_add_program path)
  set_property(GLOBAL APPEND PROPERTY OSL_ARM_SUITE "program ${path}")
endfunction()

# Runs once the whole project is configured, so test programs added anywhere
# after this file was read are part of the suite too.
function(osl_arm_suite_finish)
  get_property(entries GLOBAL PROPERTY OSL_ARM_SUITE)
  get_property(dir GLOBAL PROPERTY OSL_ARM_DIR)
  list(JOIN entries "\n" content)
  set(list_file ${CMAKE_BINARY_DIR}/tests/arm/suite.list)
  file(GENERATE OUTPUT ${list_file} CONTENT "${content}\n")
  add_test(NAME arm_suite
           COMMAND ${dir}/run.sh ${list_file} ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/tests/arm/work)
  # The first run downloads the kernel and busybox (about 45 MB) into the
  # build tree; a run then takes well under a minute.
  set_tests_properties(arm_suite PROPERTIES LABELS arm TIMEOUT 1200 RESOURCE_LOCK osl_vm)
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL osl_arm_suite_finish)
