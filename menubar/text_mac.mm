// firstCharacters with Foundation's composed character sequences (extended
// grapheme clusters). Any thread.
#include "menubar/text.h"

#import <Foundation/Foundation.h>

#include "common/utf8.h"

namespace velto {

std::string firstCharacters(std::string_view text, size_t count) {
  if (count == 0) return {};
  // Text that stops being UTF-8 is measured up to that point only.
  text = text.substr(0, validUtf8Prefix(text));
  @autoreleasepool {
    // Not an external representation: a leading byte-order mark stays a character.
    NSString* string = CFBridgingRelease(
        CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false));
    if (string == nil) return {};
    __block size_t clusters = 0;
    __block size_t bytes = 0;
    [string enumerateSubstringsInRange:NSMakeRange(0, string.length)
                               options:NSStringEnumerationByComposedCharacterSequences
                            usingBlock:^(NSString* cluster, NSRange, NSRange, BOOL* stop) {
                              bytes += [cluster lengthOfBytesUsingEncoding:NSUTF8StringEncoding];
                              if (++clusters == count) *stop = YES;
                            }];
    return std::string(text.substr(0, bytes));
  }
}

}  // namespace velto
