#include "common/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace velto {
namespace {

struct Case {
  const char* name;
  std::string bytes;
  size_t validPrefix;
  size_t characters;  // in the valid prefix
};

// The platform's check and the hand-written one (the same on macOS) answer
// every case alike.
TEST(Utf8Test, ValidPrefixStopsAtTheFirstIllFormedSequence) {
  const Case cases[] = {
      {"empty", "", 0, 0},
      {"ascii", "ping\n", 5, 5},
      {"two, three and four bytes", "\xC3\xA9\xE2\x80\xA6\xF0\x9F\x98\x80", 9, 3},
      {"lowest and highest code points", std::string("\0", 1) + "\xF4\x8F\xBF\xBF", 5, 2},
      {"overlong two-byte form", "a\xC0\xAF", 1, 1},
      {"overlong three-byte form", "a\xE0\x80\xAF", 1, 1},
      {"overlong four-byte form", "a\xF0\x80\x80\xAF", 1, 1},
      {"surrogate", "ab\xED\xA0\x80", 2, 2},
      {"last code point before the surrogates", "\xED\x9F\xBF", 3, 1},
      {"above U+10FFFF", "a\xF4\x90\x80\x80", 1, 1},
      {"lead byte F5", "a\xF5\x80\x80\x80", 1, 1},
      {"impossible bytes", "a\xFF\xFE", 1, 1},
      {"lone continuation byte", "a\x80z", 1, 1},
      {"sequence cut off by the end", "ok\xE2\x80", 2, 2},
      {"sequence cut off by ASCII", "ok\xE2\x80z", 2, 2},
      {"latin-1 text", "caf\xE9", 3, 3},
  };
  for (const Case& c : cases) {
    const size_t prefix = validUtf8Prefix(c.bytes);
    EXPECT_EQ(prefix, c.validPrefix) << c.name;
    EXPECT_EQ(validUtf8PrefixByTable(c.bytes), c.validPrefix) << c.name << " (table)";
    EXPECT_EQ(isValidUtf8(c.bytes), c.validPrefix == c.bytes.size()) << c.name;
    EXPECT_EQ(countCharacters(c.bytes.substr(0, prefix)), c.characters) << c.name;
  }
}

}  // namespace
}  // namespace velto
