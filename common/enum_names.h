// Looking up a wire enum's value by its text, for enums whose values run from 0
// up and whose name function is a switch over every value. Any thread.
#pragma once

#include <optional>
#include <string_view>

namespace velto {

// The value of `Enum` that `nameOf` names `text`. The first value without a
// name is past the last: a value added to the enum is found as soon as the
// switch in `nameOf`, which the compiler makes name every value, names it.
template <typename Enum>
std::optional<Enum> valueNamed(std::string_view text, std::string_view (*nameOf)(Enum)) {
  for (int i = 0;; ++i) {
    const auto value = static_cast<Enum>(i);
    const std::string_view name = nameOf(value);
    if (name.empty()) return std::nullopt;
    if (name == text) return value;
  }
}

}  // namespace velto
