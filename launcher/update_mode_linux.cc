// Update mode on Linux, where no update framework exists: the end of the cycle is
// logged as a system-log line on standard error, and the launcher exits as a
// failed check does. Main thread.
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <ctime>
#include <string>

#include "common/io.h"
#include "common/paths.h"
#include "launcher/sparkle_check_delegate.h"
#include "launcher/velto_vpn_launcher.h"

namespace velto::launcher {

int runUpdateMode() {
  // The name of the file that runs, as the system log shows it, whatever link
  // started it.
  std::string name = "VeltoVpnLauncher";
  if (Result<std::string> executable = ownExecutablePath())
    name = executable->substr(executable->rfind('/') + 1);
  std::time_t now = std::time(nullptr);
  std::tm localTime{};
  char stamp[32] = "";
  if (::localtime_r(&now, &localTime) != nullptr) {
    std::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &localTime);
  }
  std::string line = std::string(stamp) + " " + name + "[" + std::to_string(::getpid()) + "]: " +
                     updateCycleFinishedMessage("updates are not supported on this platform",
                                                /*installStarted=*/false) +
                     "\n";
  // A line that cannot be written is lost; the exit status still tells.
  (void)writeAll(STDERR_FILENO, line);
  return kExitUpdateFailed;
}

}  // namespace velto::launcher
