// NSString <-> UTF-8 conversions. Any thread.
#import "common/strings_mac.h"

namespace velto {

NSString* toNSString(std::string_view text) {
  NSString* string = [[NSString alloc] initWithBytes:text.data()
                                              length:text.size()
                                            encoding:NSUTF8StringEncoding];
  if (string == nil) {
    string = [[NSString alloc] initWithBytes:text.data()
                                      length:text.size()
                                    encoding:NSISOLatin1StringEncoding];
  }
  return string != nil ? string : @"";
}

std::string fromNSString(NSString* text) {
  if (text == nil) return {};
  NSData* bytes = [text dataUsingEncoding:NSUTF8StringEncoding allowLossyConversion:YES];
  if (bytes.length == 0) return {};
  return std::string(static_cast<const char*>(bytes.bytes), bytes.length);
}

}  // namespace velto
