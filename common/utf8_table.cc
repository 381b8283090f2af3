// The hand-written UTF-8 check, after the table of well-formed byte sequences
// in the Unicode standard (chapter 3, D92): macOS's validUtf8Prefix, and on
// Linux the twin that tests and a fuzzer hold against utf8proc. Any thread.
#include "common/utf8.h"

namespace velto {

size_t validUtf8PrefixByTable(std::string_view bytes) {
  const auto at = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  size_t offset = 0;
  while (offset < bytes.size()) {
    const unsigned char lead = at(offset);
    size_t length = 0;
    // The second byte's range depends on the lead byte; later ones are 80..BF.
    unsigned char low = 0x80, high = 0xBF;
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // shorter forms exist below U+0800
      if (lead == 0xED) high = 0x9F;  // U+D800..U+DFFF are surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;   // shorter forms exist below U+10000
      if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
      break;
    }
    if (offset + length > bytes.size()) break;
    for (size_t i = 1; i < length; ++i) {
      const unsigned char c = at(offset + i);
      const bool inRange = i == 1 ? (c >= low && c <= high) : (c >= 0x80 && c <= 0xBF);
      if (!inRange) return offset;
    }
    offset += length;
  }
  return offset;
}

}  // namespace velto
