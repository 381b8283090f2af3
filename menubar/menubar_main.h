// The agent's entry point: sets the process up as a status-item-only
// application, logs the start line, creates the controller, connects to the
// bridge and runs the event loop. Main thread.
#pragma once

#include <string_view>

#include "build_config.h"

namespace velto {

inline constexpr std::string_view AGENT_VERSION = VELTOVPN_VERSION_STRING;

// The agent's log: one line to agent::logPath() and to standard output. Any thread.
void menubarLog(std::string_view message);

struct VeltoMenubarMain {
  VeltoMenubarMain() = delete;
  // Runs the agent; returns the exit status once the event loop has ended
  // (the bridge connection ended, or the socket path was unusable).
  static int main();
};

}  // namespace velto
