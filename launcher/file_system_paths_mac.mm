// The hand-off's path and directory operations through Foundation: file URLs for
// symbolic-link resolution, NSHomeDirectory, and NSFileManager for the runtime
// directory, whose error description is what the launcher reports. Main thread.
#include "launcher/file_system.h"

#import <Foundation/Foundation.h>

#include "common/strings_mac.h"

namespace velto::launcher {

std::string resolveSymlinks(const std::string& absolutePath) {
  @autoreleasepool {
    NSURL* url = [NSURL fileURLWithPath:toNSString(absolutePath)];
    NSString* resolved = url.URLByResolvingSymlinksInPath.path;
    return resolved != nil ? fromNSString(resolved) : absolutePath;
  }
}

std::optional<std::string> homeDirectory() {
  @autoreleasepool {
    NSString* home = NSHomeDirectory();
    if (home.length == 0) return std::nullopt;
    return fromNSString(home);
  }
}

std::optional<std::string> createDirectories(const std::string& path) {
  @autoreleasepool {
    NSURL* url = [NSURL fileURLWithPath:toNSString(path) isDirectory:YES];
    NSError* error = nil;
    if ([NSFileManager.defaultManager createDirectoryAtURL:url
                               withIntermediateDirectories:YES
                                                attributes:nil
                                                     error:&error]) {
      return std::nullopt;
    }
    // The full description: domain, code and user information, not only the
    // localized message.
    return fromNSString(error != nil ? error.description : @"unknown error");
  }
}

}  // namespace velto::launcher
