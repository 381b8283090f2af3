# Process tests of veltovpn-helper: the real daemon, started as root on its fixed
# socket, spoken to by raw clients, the client tool and a client of another user.
# Without root the test is skipped (exit 77) with its reason.
add_test(NAME helper.process
         COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/helper_process_test.py
                 $<TARGET_FILE:veltovpn-helper> $<TARGET_FILE:veltovpn-helper-client>)
set_tests_properties(helper.process PROPERTIES
  LABELS process TIMEOUT 120 SKIP_RETURN_CODE 77 RESOURCE_LOCK helper-socket)
