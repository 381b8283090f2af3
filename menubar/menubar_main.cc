// VeltoMenubarMain: wires the platform services, the log and the controller
// together. Main thread.
#include "menubar/menubar_main.h"

#include <csignal>
#include <string>

#include "common/log.h"
#include "menubar/menubar_controller.h"
#include "menubar/paths.h"
#include "menubar/platform.h"

namespace velto {

void menubarLog(std::string_view message) { appendLogLine(LOG_PATH(), message); }

int VeltoMenubarMain::main() {
  // A bridge or a standard output that went away must never kill the agent:
  // failed writes are handled where they happen.
  std::signal(SIGPIPE, SIG_IGN);

  MenubarPlatform platform = createMenubarPlatform();
  platform.application->setAccessoryPolicy();
  menubarLog("veltovpn-menubar " + std::string(AGENT_VERSION) + " starting (socket: " + SOCKET_PATH() + ")");
  if (platform.notice) menubarLog(*platform.notice);

  auto controller = std::make_unique<MenubarController>(MenubarController::Services{
      *platform.application,
      *platform.statusItem,
      *platform.images,
      *platform.runningApplications,
      systemProcessInfo(),
      menubarLog,
      SOCKET_PATH(),
      VELTOVPN_BUNDLE_ID,
  });
  controller->connectAndPumpSocket();
  platform.application->run();
  controller.reset();
  return 0;
}

}  // namespace velto
