// RunningApplications for Linux: none are known by bundle identifier. Main thread.
#pragma once

#include "menubar/platform.h"

namespace velto {

class LinuxRunningApplications final : public RunningApplications {
 public:
  std::vector<RunningApplication> withBundleIdentifier(const std::string& bundleId) override;
  void hide(pid_t pid) override;
  void unhide(pid_t pid) override;
  void activateIgnoringOtherApps(pid_t pid) override;
};

}  // namespace velto
