// Conversions between UTF-8 std::string and NSString for the Objective-C++ files
// of the macOS programs (never included by C++ files). Any thread.
#pragma once

#import <Foundation/Foundation.h>

#include <string>
#include <string_view>

namespace velto {

// `text` as an NSString; never nil. Bytes that are not UTF-8 are read as
// ISO Latin-1, so that nothing is silently dropped from a log line.
NSString* toNSString(std::string_view text);

// The UTF-8 bytes of `text`; empty for nil.
std::string fromNSString(NSString* text);

}  // namespace velto
