// UTF-8 checks on top of utf8proc. Any thread.
#include "helper/utf8_text.h"

#include <utf8proc.h>

namespace velto {

bool isValidUtf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(bytes.data());
  utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(bytes.size());
  while (left > 0) {
    utf8proc_int32_t codepoint = 0;
    utf8proc_ssize_t n = utf8proc_iterate(p, left, &codepoint);
    if (n <= 0) return false;
    p += n;
    left -= n;
  }
  return true;
}

size_t countCharacters(std::string_view text) {
  size_t count = 0;
  for (char c : text) {
    // Every code point has exactly one byte that is not a continuation byte.
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

}  // namespace velto
