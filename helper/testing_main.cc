// veltovpn-helper-testing: the daemon built from the same library, on a socket,
// log and client group chosen by environment variables, so that tests and
// benchmarks can run it beside an installed one. Never installed.
//   VELTOVPN_HELPER_SOCKET  socket path (required)
//   VELTOVPN_HELPER_LOG     log file (required)
//   VELTOVPN_HELPER_GROUP   admitted client group (default: the build's)
#include <stdio.h>
#include <stdlib.h>

#include "helper/helper_main.h"

int main() {
  const char* socketPath = getenv("VELTOVPN_HELPER_SOCKET");
  const char* logPath = getenv("VELTOVPN_HELPER_LOG");
  if (socketPath == nullptr || logPath == nullptr) {
    fputs("veltovpn-helper-testing: set VELTOVPN_HELPER_SOCKET and VELTOVPN_HELPER_LOG\n", stderr);
    return 2;
  }
  velto::HelperServerOptions options;
  options.socketPath = socketPath;
  options.logPath = logPath;
  if (const char* group = getenv("VELTOVPN_HELPER_GROUP")) options.clientGroup = group;
  return velto::VeltoHelperMain::main(options);
}
