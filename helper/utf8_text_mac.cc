// UTF-8 checks where utf8proc is not available (macOS). Any thread.
#include <algorithm>

#include "common/utf8.h"
#include "helper/utf8_text.h"

namespace velto {

bool isValidUtf8(std::string_view bytes) { return validUtf8Prefix(bytes) == bytes.size(); }

size_t countCharacters(std::string_view text) {
  // Every code point has exactly one byte that is not a continuation byte.
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

}  // namespace velto
