// Application on macOS: NSApplication's event loop, with work for the main
// thread queued on the main dispatch queue, which that loop drains. Main thread,
// except postToMain (any thread).
#include "menubar/services_mac.h"

#import <AppKit/AppKit.h>

#include <utility>

namespace velto {

namespace {

class MacApplication final : public Application {
 public:
  MacApplication() { [NSApplication sharedApplication]; }

  void setAccessoryPolicy() override {
    [NSApp setActivationPolicy:NSApplicationActivationPolicyAccessory];
  }

  void run() override { [NSApp run]; }

  void postToMain(std::function<void()> block) override {
    auto task = std::make_shared<std::function<void()>>(std::move(block));
    dispatch_async(dispatch_get_main_queue(), ^{
      (*task)();
    });
  }

  // Ends the process in AppKit's orderly way (run() does not return).
  void terminate() override { [NSApp terminate:nil]; }
};

}  // namespace

std::unique_ptr<Application> makeMacApplication() { return std::make_unique<MacApplication>(); }

}  // namespace velto
