// Holds the hand-written UTF-8 check (macOS's) against utf8proc's on any bytes:
// both must find the same well-formed prefix, so the two platforms accept and
// refuse exactly the same text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "common/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const size_t platform = velto::validUtf8Prefix(bytes);
  const size_t table = velto::validUtf8PrefixByTable(bytes);
  if (platform != table) {
    std::fprintf(stderr, "broken property: utf8proc keeps %zu bytes, the table %zu\n", platform,
                 table);
    std::abort();
  }
  return 0;
}
