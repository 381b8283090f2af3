# The one way to register a test. Every test gets its labels, a timeout and the
# build's version in VELTOVPN_VERSION, so that no test carries a literal version.
#
# velto_add_test(NAME <name> COMMAND <command> [args...] LABELS <label>...
#                [TIMEOUT <seconds>] [PROCESSORS <n>] [LOCKS <lock>...] [SKIP_RETURN_CODE <code>]
#                [SKIP_REGULAR_EXPRESSION <regex>] [ENVIRONMENT <NAME=value>...])
# velto_add_unit_tests(<target> SOURCES <file>... LIBRARIES <library>... LABELS <label>...
#                      [TIMEOUT ...] [ENVIRONMENT ...])
#   One GoogleTest binary per library, linked with velto_testing; each case
#   becomes a test of its own. The label "tsan" puts the tests in the
#   ThreadSanitizer run.

set(velto_test_options "")
set(velto_test_one_value TIMEOUT PROCESSORS SKIP_RETURN_CODE SKIP_REGULAR_EXPRESSION)
set(velto_test_lists LABELS LOCKS ENVIRONMENT)

# Sets `out` to the properties of a test as CMake code, each value a bracket
# argument so that lists (labels, environment) survive being written into the
# file gtest_discover_tests reads at test time.
function(velto_test_properties out)
  cmake_parse_arguments(ARG "${velto_test_options}" "${velto_test_one_value}" "${velto_test_lists}" ${ARGN})
  if(NOT ARG_LABELS)
    message(FATAL_ERROR "a test needs LABELS")
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 60)
  endif()
  set(code "LABELS [==[${ARG_LABELS}]==] TIMEOUT ${ARG_TIMEOUT}")
  string(APPEND code " ENVIRONMENT [==[VELTOVPN_VERSION=${VELTOVPN_VERSION_STRING}")
  foreach(entry IN LISTS ARG_ENVIRONMENT)
    string(APPEND code ";${entry}")
  endforeach()
  string(APPEND code "]==]")
  if(ARG_LOCKS)
    string(APPEND code " RESOURCE_LOCK [==[${ARG_LOCKS}]==]")
  endif()
  if(DEFINED ARG_PROCESSORS)
    string(APPEND code " PROCESSORS ${ARG_PROCESSORS}")
  endif()
  if(DEFINED ARG_SKIP_RETURN_CODE)
    string(APPEND code " SKIP_RETURN_CODE ${ARG_SKIP_RETURN_CODE}")
  endif()
  if(DEFINED ARG_SKIP_REGULAR_EXPRESSION)
    string(APPEND code " SKIP_REGULAR_EXPRESSION [==[${ARG_SKIP_REGULAR_EXPRESSION}]==]")
  endif()
  set(${out} "${code}" PARENT_SCOPE)
endfunction()

# The test properties among ARG_* (parsed with the keywords above) as arguments
# for velto_test_properties.
macro(velto_forward_properties out)
  set(${out})
  foreach(keyword IN LISTS velto_test_one_value velto_test_lists)
    if(DEFINED ARG_${keyword})
      list(APPEND ${out} ${keyword} ${ARG_${keyword}})
    endif()
  endforeach()
endmacro()

function(velto_add_test)
  cmake_parse_arguments(ARG "" "NAME;${velto_test_one_value}" "COMMAND;${velto_test_lists}" ${ARGN})
  if(NOT ARG_NAME OR NOT ARG_COMMAND)
    message(FATAL_ERROR "velto_add_test needs NAME and COMMAND")
  endif()
  add_test(NAME ${ARG_NAME} COMMAND ${ARG_COMMAND})
  velto_forward_properties(forwarded)
  velto_test_properties(properties ${forwarded})
  cmake_language(EVAL CODE "set_tests_properties([==[${ARG_NAME}]==] PROPERTIES ${properties})")
endfunction()

function(velto_add_unit_tests target)
  if(NOT VELTOVPN_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "${velto_test_one_value}" "SOURCES;LIBRARIES;${velto_test_lists}" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBRARIES} velto_testing
                        GTest::gtest GTest::gmock GTest::gtest_main)
  velto_forward_properties(forwarded)
  velto_test_properties(properties ${forwarded})
  # The cases are known only once the binary lists them at test time; this file,
  # read after the discovered list, gives them their properties.
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 TEST_LIST ${target}_cases)
  set(properties_file ${CMAKE_CURRENT_BINARY_DIR}/${target}_properties.cmake)
  file(GENERATE OUTPUT ${properties_file} CONTENT
       "if(${target}_cases)\n  set_tests_properties(\${${target}_cases} PROPERTIES ${properties})\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${properties_file})
endfunction()
