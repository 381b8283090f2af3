// UTF-8 checks for text that crosses the helper's boundaries (requests, script
// output). Pure functions; any thread.
#pragma once

#include <cstddef>
#include <string_view>

namespace velto {

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates).
bool isValidUtf8(std::string_view bytes);

// Number of characters (code points) in well-formed UTF-8 text.
size_t countCharacters(std::string_view text);

}  // namespace velto
