# Process tests of veltovpn-menubar: the real program against a bridge played by
# the test, without a display; and the real tray on a headless X server with a
# private session bus.

add_executable(menubar_process_tests menubar_process_test.cc)
target_link_libraries(menubar_process_tests PRIVATE velto_common GTest::gtest GTest::gtest_main)
target_compile_definitions(menubar_process_tests PRIVATE MENUBAR_BINARY="$<TARGET_FILE:veltovpn-menubar>")
add_dependencies(menubar_process_tests veltovpn-menubar)
gtest_discover_tests(menubar_process_tests DISCOVERY_TIMEOUT 60
  PROPERTIES LABELS process TIMEOUT 120)
