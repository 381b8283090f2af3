# Process tests of veltovpn-helper: the real daemon, started as root on its fixed
# socket by a careless parent, spoken to by raw clients and a client of another
# user; a load of mixed and faulty requests on the testing build, and the testing
# build with a full /tmp in a mount namespace of its own.
# Without root the test is skipped (exit 77) with its reason.
set(VELTO_HELPER_PROCESS_FLAGS)
if(VELTOVPN_SANITIZE)
  set(VELTO_HELPER_PROCESS_FLAGS --sanitized)
endif()
velto_add_test(NAME helper.process
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/helper_process_test.py
          $<TARGET_FILE:veltovpn-helper> $<TARGET_FILE:veltovpn-helper-testing>
          ${VELTO_HELPER_PROCESS_FLAGS}
  LABELS process root TIMEOUT 300 SKIP_RETURN_CODE 77 LOCKS helper-socket)
# One short round of the benchmark: the floors and the daemon start and answer.
# No figure is checked.
velto_add_test(NAME helper.benchmark_smoke
  COMMAND $<TARGET_FILE:helper-benchmark> --rounds 1 --pings 20 --scripts 3
  LABELS process TIMEOUT 120 SKIP_RETURN_CODE 77)
