// The hand-off's path and directory operations through Foundation: file URLs for
// symbolic-link resolution, NSHomeDirectory, and NSFileManager for the runtime
// directory, whose error description is what the launcher reports. The own path
// comes from dyld. Main thread.
#include "launcher/file_system.h"

#import <Foundation/Foundation.h>
#include <mach-o/dyld.h>
#include <stdint.h>

#include <vector>

#include "common/strings_mac.h"
#include "launcher/handoff.h"

namespace velto::launcher {

std::string resolveSymlinks(const std::string& absolutePath) {
  @autoreleasepool {
    NSURL* url = [NSURL fileURLWithPath:toNSString(absolutePath)];
    NSString* resolved = url.URLByResolvingSymlinksInPath.path;
    return resolved != nil ? fromNSString(resolved) : absolutePath;
  }
}

std::optional<std::string> ownExecutablePath() {
  uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);  // asks for the size it needs
  std::vector<char> buffer(size + 1, '\0');
  if (size == 0 || _NSGetExecutablePath(buffer.data(), &size) != 0) return std::nullopt;
  std::string path(buffer.data());
  if (path.empty() || path.front() != '/') return std::nullopt;
  return resolveSymlinks(path);
}

std::optional<std::string> homeDirectory() {
  @autoreleasepool {
    NSString* home = NSHomeDirectory();
    if (home.length == 0) return std::nullopt;
    return fromNSString(home);
  }
}

std::optional<std::string> runtimeDirectory() {
  std::optional<std::string> home = homeDirectory();
  if (!home) return std::nullopt;
  return macRuntimeDirectoryFor(*home);
}

std::optional<std::string> createDirectories(const std::string& path) {
  @autoreleasepool {
    NSURL* url = [NSURL fileURLWithPath:toNSString(path) isDirectory:YES];
    NSError* error = nil;
    // The attributes apply to every directory the call creates, not to existing ones.
    if ([NSFileManager.defaultManager createDirectoryAtURL:url
                               withIntermediateDirectories:YES
                                                attributes:@{NSFilePosixPermissions : @0700}
                                                     error:&error]) {
      return std::nullopt;
    }
    // The full description: domain, code and user information, not only the
    // localized message.
    return fromNSString(error != nil ? error.description : @"unknown error");
  }
}

}  // namespace velto::launcher
