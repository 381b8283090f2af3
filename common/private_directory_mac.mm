// The private directory on macOS: NSTemporaryDirectory(), which the system keeps
// per user (under /var/folders, mode 0700). Any thread.
#include "common/private_directory.h"

#import <Foundation/Foundation.h>

#include "common/strings_mac.h"

namespace velto {

const PrivateDirectory& privateDirectory() {
  static const PrivateDirectory* const directory = [] {
    auto* found = new PrivateDirectory;
    @autoreleasepool {
      std::string path = fromNSString(NSTemporaryDirectory());
      if (!path.empty()) {
        if (path.back() != '/') path += '/';
        found->path = path;
      }
    }
    return found;
  }();
  return *directory;
}

}  // namespace velto
