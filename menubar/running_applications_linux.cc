// RunningApplications for Linux, which keeps no registry of applications by
// bundle identifier: the list is always empty, so the main application shows
// and hides itself when it receives the commands. Main thread.
#include "menubar/running_applications_linux.h"

namespace velto {

std::vector<RunningApplication> LinuxRunningApplications::withBundleIdentifier(const std::string&) {
  return {};
}

void LinuxRunningApplications::hide(pid_t) {}
void LinuxRunningApplications::unhide(pid_t) {}
void LinuxRunningApplications::activateIgnoringOtherApps(pid_t) {}

}  // namespace velto
