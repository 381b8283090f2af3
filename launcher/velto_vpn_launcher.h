// Entry of the bundle's main executable: picks the mode from the command line and
// either hands the process over to the main application binary or runs one update
// check. Main thread only.
#pragma once

#include <string>
#include <vector>

namespace velto::launcher {

// Exit statuses of the hand-off.
inline constexpr int kExitRuntimeDirectory = 111;
inline constexpr int kExitChangeDirectory = 112;
inline constexpr int kExitStartMainBinary = 113;

struct VeltoVpnLauncher {
  // Reads the whole argument vector (argv[0] included; argc may be 0). In hand-off
  // mode it returns only on failure, with 111, 112 or 113 after the message on
  // standard error. In update mode it returns 0 when the event loop ends.
  static int main(int argc, char** argv);
};

// Hand-off mode: runtime directory, chdir, execv of the main binary.
int handOff(const std::vector<std::string>& args);

// Update mode (update_mode_<platform>): one update check as an application on
// macOS; on Linux, the report that updates are not supported there.
int runUpdateMode();

}  // namespace velto::launcher
