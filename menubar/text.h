// Text measured in user-perceived characters (extended grapheme clusters).
// The segmentation comes from the platform's Unicode library, so each platform
// has its own implementation file. Pure; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velto {

// The first `count` user-perceived characters of valid UTF-8 `text`, or all of
// it when it is shorter. A combining mark or an emoji sequence counts as one.
std::string firstCharacters(std::string_view text, size_t count);

}  // namespace velto
