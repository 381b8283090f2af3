// Looking up an enum's value by its text, and listing its values, for enums
// whose values run from 0 up and whose name function is a switch over every
// value. Any thread.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

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

// Every value of `Enum`, in order; the same bound as valueNamed.
template <typename Enum>
std::vector<Enum> everyValue(std::string_view (*nameOf)(Enum)) {
  std::vector<Enum> values;
  for (int i = 0; !nameOf(static_cast<Enum>(i)).empty(); ++i)
    values.push_back(static_cast<Enum>(i));
  return values;
}

}  // namespace velto
