// The updater of update mode on macOS: Sparkle's standard updater controller,
// whose delegate callbacks are handed to the portable UpdaterDelegate. Plain C++:
// the Objective-C stays in sparkle_updater_mac.mm. Main thread.
#pragma once

#include <memory>

#include "launcher/update_platform.h"

namespace velto::launcher {

std::unique_ptr<UpdaterFactory> makeSparkleUpdaterFactory();

}  // namespace velto::launcher
