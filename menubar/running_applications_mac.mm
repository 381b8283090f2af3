// RunningApplications on macOS: NSRunningApplication, looked up again by process
// identifier for each request, so a process that has gone meanwhile is a no-op.
// Main thread.
#include "menubar/services_mac.h"

#import <AppKit/AppKit.h>

#include "common/strings_mac.h"

// Cooperative activation (macOS 14 and later), where activating with
// NSApplicationActivateIgnoringOtherApps no longer takes the focus: the active
// application lets another one come forward. Declared here because the SDK the
// programs build against predates it; called only where NSApp answers to it.
@protocol VeltoActivationYielding
- (void)yieldActivationToApplication:(NSRunningApplication*)application;
@end

namespace velto {

namespace {

// Brings an application forward even while another one is active.
static_assert(NSApplicationActivateIgnoringOtherApps == 2);

ActivationPolicy policyOf(NSApplicationActivationPolicy policy) {
  switch (policy) {
    case NSApplicationActivationPolicyRegular:
      return ActivationPolicy::kRegular;
    case NSApplicationActivationPolicyAccessory:
      return ActivationPolicy::kAccessory;
    case NSApplicationActivationPolicyProhibited:
      return ActivationPolicy::kProhibited;
  }
  return ActivationPolicy::kProhibited;
}

class MacRunningApplications final : public RunningApplications {
 public:
  std::vector<RunningApplication> withBundleIdentifier(const std::string& bundleId) override {
    std::vector<RunningApplication> found;
    for (NSRunningApplication* app in
         [NSRunningApplication runningApplicationsWithBundleIdentifier:toNSString(bundleId)]) {
      found.push_back({app.processIdentifier, policyOf(app.activationPolicy)});
    }
    return found;
  }

  void hide(pid_t pid) override { [byPid(pid) hide]; }

  void unhide(pid_t pid) override { [byPid(pid) unhide]; }

  void activateIgnoringOtherApps(pid_t pid) override {
    NSRunningApplication* application = byPid(pid);
    if (application == nil) return;
    // Checked at run time: an availability check would need a runtime library
    // that not every toolchain building this file has.
    if ([NSApp respondsToSelector:@selector(yieldActivationToApplication:)]) {
      [(id<VeltoActivationYielding>)NSApp yieldActivationToApplication:application];
      [application activateWithOptions:0];
      return;
    }
    [application activateWithOptions:NSApplicationActivateIgnoringOtherApps];
  }

 private:
  static NSRunningApplication* byPid(pid_t pid) {
    return [NSRunningApplication runningApplicationWithProcessIdentifier:pid];
  }
};

}  // namespace

std::unique_ptr<RunningApplications> makeMacRunningApplications() {
  return std::make_unique<MacRunningApplications>();
}

}  // namespace velto
