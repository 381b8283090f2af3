// The hand-off's path and directory operations through Foundation: file URLs for
// symbolic-link resolution, NSHomeDirectory, and NSFileManager for the runtime
// directory, whose error description is what the launcher reports. Main thread.
#include "launcher/file_system.h"

#import <Foundation/Foundation.h>
#include "common/paths.h"
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

Result<std::string> resolvedOwnExecutablePath() {
  Result<std::string> path = ownExecutablePath();
  if (!path) return path;
  return resolveSymlinks(*path);
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

Status createDirectories(const std::string& path) {
  @autoreleasepool {
    NSURL* url = [NSURL fileURLWithPath:toNSString(path) isDirectory:YES];
    NSError* error = nil;
    // The attributes apply to every directory the call creates, not to existing ones.
    if ([NSFileManager.defaultManager createDirectoryAtURL:url
                               withIntermediateDirectories:YES
                                                attributes:@{
                                                  NSFilePosixPermissions : @0700
                                                }
                                                     error:&error]) {
      return {};
    }
    // The full description: domain, code and user information, not only the
    // localized message.
    return Error{fromNSString(error != nil ? error.description : @"unknown error")};
  }
}

}  // namespace velto::launcher
