// VeltoMenubarMain: wires the platform services, the log and the controller
// together. Main thread.
#include "menubar/menubar_main.h"

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>

#include "common/io.h"
#include "common/log.h"
#include "common/private_directory.h"
#include "menubar/menubar_controller.h"
#include "menubar/paths.h"
#include "menubar/platform.h"

namespace velto {

void menubarLog(std::string_view message) { appendLogLine(agent::logPath(), message); }

int VeltoMenubarMain::main() {
  // A bridge or a standard output that went away must never kill the agent:
  // failed writes are handled where they happen.
  std::signal(SIGPIPE, SIG_IGN);

  // The socket and the log both live in the private directory; without one the
  // agent could only talk to, or write for, whoever owns the place it would use.
  // Standard output alone hears why.
  const PrivateDirectory& directory = privateDirectory();
  if (!directory.path) {
    const auto now = std::chrono::system_clock::now();
    // A closed standard output leaves nobody to tell; the exit status still says it.
    for (const std::string& line : directory.skipped)
      (void)writeAll(STDOUT_FILENO, formatLogLine(line, now));
    (void)writeAll(STDOUT_FILENO,
                   formatLogLine("FATAL: no private directory for the bridge socket", now));
    return 1;
  }

  MenubarPlatform platform = createMenubarPlatform();
  platform.application->setAccessoryPolicy();
  menubarLog("veltovpn-menubar " + std::string(AGENT_VERSION) +
             " starting (socket: " + agent::bridgeSocketPath() + ")");
  for (const std::string& line : directory.skipped) menubarLog(line);
  if (platform.notice) menubarLog(*platform.notice);

  StoppableSleep retryPause;
  auto controller = std::make_unique<MenubarController>(MenubarController::Services{
      *platform.application,
      *platform.statusItem,
      *platform.images,
      *platform.runningApplications,
      systemProcessInfo(),
      menubarLog,
      agent::bridgeSocketPath(),
      VELTOVPN_BUNDLE_ID,
      retryPause,
  });
  controller->connectAndPumpSocket();
  platform.application->run();
  controller.reset();
  return 0;
}

}  // namespace velto
