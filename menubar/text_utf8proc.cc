// firstCharacters with utf8proc's grapheme-break rules. Any thread.
#include "menubar/text.h"

#include <utf8proc.h>

namespace velto {

std::string firstCharacters(std::string_view text, size_t count) {
  if (count == 0) return {};
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  const auto size = static_cast<utf8proc_ssize_t>(text.size());
  utf8proc_int32_t previous = -1;
  utf8proc_int32_t state = 0;
  size_t clusters = 0;
  utf8proc_ssize_t offset = 0;
  while (offset < size) {
    utf8proc_int32_t codepoint = 0;
    utf8proc_ssize_t length = utf8proc_iterate(bytes + offset, size - offset, &codepoint);
    if (length <= 0) break;  // not UTF-8 from here on: keep what was measured
    if (previous < 0 || utf8proc_grapheme_break_stateful(previous, codepoint, &state)) {
      if (clusters == count) break;
      ++clusters;
    }
    previous = codepoint;
    offset += length;
  }
  return std::string(text.substr(0, static_cast<size_t>(offset)));
}

}  // namespace velto
