// The agent's macOS platform: AppKit services for the status item, its images,
// the running applications and the event loop. Main thread.
#include "menubar/services_mac.h"

namespace velto {

MenubarPlatform createMenubarPlatform() {
  MenubarPlatform platform;
  // The shared application first: the other AppKit services need it.
  platform.application = makeMacApplication();
  platform.statusItem = makeMacStatusItem();
  platform.images = makeMacImages();
  platform.runningApplications = makeMacRunningApplications();
  return platform;
}

}  // namespace velto
