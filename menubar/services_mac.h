// The AppKit implementations of the agent's platform services, one file each
// (*_mac.mm), put together by createMenubarPlatform() in platform_mac.mm. Plain
// C++ declarations: the Objective-C stays inside the .mm files. Main thread.
#pragma once

#include <memory>

#include "menubar/platform.h"

namespace velto {

// NSApplication and the main dispatch queue. Creates the shared application.
std::unique_ptr<Application> makeMacApplication();
// An NSStatusItem of square length with its NSMenu, created on first use.
std::unique_ptr<StatusItem> makeMacStatusItem();
// NSImage loading and the built-in images.
std::unique_ptr<Images> makeMacImages();
// NSRunningApplication.
std::unique_ptr<RunningApplications> makeMacRunningApplications();

}  // namespace velto
