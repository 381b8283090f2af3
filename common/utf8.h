// UTF-8 well-formedness for the platforms whose system libraries offer no
// byte-level check (macOS: Foundation decodes whole strings or nothing; on Linux
// the programs use utf8proc). Pure; any thread.
#pragma once

#include <cstddef>
#include <string_view>

namespace velto {

// Length in bytes of the longest prefix of `bytes` that is well-formed UTF-8:
// shortest forms only, no surrogates, nothing above U+10FFFF, no cut-off sequence.
size_t validUtf8Prefix(std::string_view bytes);

}  // namespace velto
