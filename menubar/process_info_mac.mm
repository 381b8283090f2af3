// ProcessInfo on macOS: NSProcessInfo's environment, the main bundle's executable
// and the private directory (NSTemporaryDirectory). Any thread.
#include "menubar/platform.h"

#import <Foundation/Foundation.h>

#include "common/no_destructor.h"
#include "common/private_directory.h"
#include "common/strings_mac.h"

namespace velto {

namespace {

class MacProcessInfo final : public ProcessInfo {
 public:
  std::optional<std::string> environmentValue(const char* name) const override {
    @autoreleasepool {
      NSString* value = NSProcessInfo.processInfo.environment[toNSString(name)];
      if (value == nil) return std::nullopt;
      return fromNSString(value);
    }
  }

  std::optional<std::string> executablePath() const override {
    @autoreleasepool {
      NSURL* url = NSBundle.mainBundle.executableURL;
      if (url == nil || url.path == nil) return std::nullopt;
      return fromNSString(url.path);
    }
  }

  // REQUIRES: privateDirectory() found one (the agent ends at start otherwise).
  std::string temporaryDirectory() const override { return privateDirectory().path.value_or("/tmp/"); }
};

}  // namespace

const ProcessInfo& systemProcessInfo() {
  static const NoDestructor<MacProcessInfo> info;
  return *info;
}

}  // namespace velto
