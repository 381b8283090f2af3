// UTF-8 text as it crosses the programs' boundaries: bridge lines, helper
// requests, script output. Well-formedness comes from utf8proc where the
// platform has it and from a hand-written check where it has not (macOS); CMake
// picks the file. Pure; any thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace velto {

// Length in bytes of the longest prefix of `bytes` that is well-formed UTF-8:
// shortest forms only, no surrogates, nothing above U+10FFFF, no cut-off
// sequence. Cutting text at this length always leaves whole characters.
size_t validUtf8Prefix(std::string_view bytes);

// The same by the hand-written check (utf8_table.cc), built everywhere so that
// it is tested and fuzzed against utf8proc where utf8proc exists.
size_t validUtf8PrefixByTable(std::string_view bytes);

inline bool isValidUtf8(std::string_view bytes) { return validUtf8Prefix(bytes) == bytes.size(); }

// Number of characters (code points) in well-formed UTF-8 text: every code
// point has exactly one byte that is not a continuation byte.
inline size_t countCharacters(std::string_view text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

}  // namespace velto
