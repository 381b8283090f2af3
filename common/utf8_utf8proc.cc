// validUtf8Prefix on top of utf8proc, which rejects the same sequences as the
// Unicode standard's table of well-formed bytes. Any thread.
#include <utf8proc.h>

#include "common/utf8.h"

namespace velto {

size_t validUtf8Prefix(std::string_view bytes) {
  const auto* data = reinterpret_cast<const utf8proc_uint8_t*>(bytes.data());
  const auto size = static_cast<utf8proc_ssize_t>(bytes.size());
  utf8proc_ssize_t offset = 0;
  while (offset < size) {
    utf8proc_int32_t codepoint = 0;
    const utf8proc_ssize_t length = utf8proc_iterate(data + offset, size - offset, &codepoint);
    if (length <= 0) break;
    offset += length;
  }
  return static_cast<size_t>(offset);
}

}  // namespace velto
