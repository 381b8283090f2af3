# The one way to register a test. Every test gets its labels, a timeout, the
# build's version in VELTOVPN_VERSION and the helper's socket and log in
# VELTOVPN_HELPER_SOCKET and VELTOVPN_HELPER_LOG, so that no test carries a
# literal version or path of its own.
#
# velto_add_test(NAME <name> COMMAND <command> [args...] LABELS <label>...
#                [TIMEOUT <seconds>] [PROCESSORS <n>] [LOCKS <lock>...] [SKIP_RETURN_CODE <code>]
#                [SKIP_REGULAR_EXPRESSION <regex>] [ENVIRONMENT <NAME=value>...])
# velto_add_unit_tests(<target> SOURCES <file>... LIBRARIES <library>... LABELS <label>...
#                      [TIMEOUT ...] [PROCESSORS ...] [LOCKS ...] [ENVIRONMENT ...])
#   One GoogleTest binary per library, linked with velto_testing; each case
#   becomes a test of its own. The label "tsan" puts the tests in the
#   ThreadSanitizer run.

set(velto_test_one_value TIMEOUT PROCESSORS SKIP_RETURN_CODE SKIP_REGULAR_EXPRESSION)
set(velto_test_lists LABELS LOCKS ENVIRONMENT)

# Sets `out` to the properties among ARG_* (parsed with the keywords above) as
# set_tests_properties takes them: name, then value, a list value as one
# argument with its items joined by `separator`.
function(velto_test_properties out separator)
  if(NOT ARG_LABELS)
    message(FATAL_ERROR "a test needs LABELS")
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 60)
  endif()
  set(environment VELTOVPN_VERSION=${VELTOVPN_VERSION_STRING}
                  VELTOVPN_HELPER_SOCKET=${VELTOVPN_HELPER_SOCKET_PATH}
                  VELTOVPN_HELPER_LOG=${VELTOVPN_HELPER_LOG_PATH} ${ARG_ENVIRONMENT})
  list(JOIN ARG_LABELS "${separator}" labels)
  list(JOIN environment "${separator}" environment)
  set(properties LABELS "${labels}" TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT "${environment}")
  if(ARG_LOCKS)
    list(JOIN ARG_LOCKS "${separator}" locks)
    list(APPEND properties RESOURCE_LOCK "${locks}")
  endif()
  foreach(property PROCESSORS SKIP_RETURN_CODE SKIP_REGULAR_EXPRESSION)
    if(DEFINED ARG_${property})
      list(APPEND properties ${property} "${ARG_${property}}")
    endif()
  endforeach()
  set(${out} "${properties}" PARENT_SCOPE)
endfunction()

function(velto_add_test)
  cmake_parse_arguments(ARG "" "NAME;${velto_test_one_value}" "COMMAND;${velto_test_lists}" ${ARGN})
  if(NOT ARG_NAME OR NOT ARG_COMMAND)
    message(FATAL_ERROR "velto_add_test needs NAME and COMMAND")
  endif()
  add_test(NAME ${ARG_NAME} COMMAND ${ARG_COMMAND})
  velto_test_properties(properties [[\;]])
  set_tests_properties(${ARG_NAME} PROPERTIES ${properties})
endfunction()

# gtest_discover_tests passes its PROPERTIES through list expansions of its own
# before it writes them for CTest, and each expansion takes one escape off a
# semicolon. A list value (labels, environment) keeps its items when each of its
# semicolons is escaped once for the expansion in velto_add_unit_tests and once
# for each of GoogleTest's: eight before CMake 3.31 (as in 3.25), one since.
if(CMAKE_VERSION VERSION_LESS 3.31)
  string(REPEAT [[\]] 9 velto_discovered_list_separator)
else()
  string(REPEAT [[\]] 2 velto_discovered_list_separator)
endif()
string(APPEND velto_discovered_list_separator ";")

function(velto_add_unit_tests target)
  if(NOT VELTOVPN_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "${velto_test_one_value}" "SOURCES;LIBRARIES;${velto_test_lists}" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBRARIES} velto_testing
                        GTest::gtest GTest::gmock GTest::gtest_main)
  velto_test_properties(properties "${velto_discovered_list_separator}")
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
endfunction()
