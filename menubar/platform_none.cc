// The platform of a build without a tray: the GLib event loop and no user
// interface. Main thread.
#include "menubar/application_glib.h"
#include "menubar/headless_services.h"
#include "menubar/running_applications_linux.h"

namespace velto {

MenubarPlatform createMenubarPlatform() {
  MenubarPlatform platform;
  platform.application = std::make_unique<GLibApplication>();
  platform.statusItem = std::make_unique<HeadlessStatusItem>();
  platform.images = std::make_unique<HeadlessImages>();
  platform.runningApplications = std::make_unique<LinuxRunningApplications>();
  platform.notice = "built without a tray \u2014 running without a tray icon";
  return platform;
}

}  // namespace velto
