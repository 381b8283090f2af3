// Entry point of veltovpn-helper, the root daemon that answers ping and runs
// scripts for the main application. Main thread only.
#pragma once

#include "common/helper_wire.h"
#include "helper/helper_server.h"

namespace velto {

inline constexpr const char* SOCKET_PATH = kHelperSocketPath;
inline constexpr const char* LOG_PATH = kHelperLogPath;

struct VeltoHelperMain {
  // Serves SOCKET_PATH, logging to LOG_PATH, until SIGTERM or SIGINT, which end
  // the process by that signal once the stop is done (runHelperServer); returns
  // only the exit status 1 when the socket could not be set up, 0 when another
  // daemon serves it.
  static int main();

  // The same daemon on the paths and group in `options`: for builds used by tests
  // and benchmarks only.
  static int main(const HelperServerOptions& options);
};

}  // namespace velto
