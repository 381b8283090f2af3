// Counting user-perceived characters.
#include "menubar/text.h"

#include <gtest/gtest.h>

namespace velto {
namespace {

TEST(FirstCharacters, CountsGraphemeClustersNotBytes) {
  struct Case {
    const char* name;
    std::string text;
    size_t count;
    std::string expected;
  };
  const std::string eAcute = "e\xCC\x81";                                     // e + combining acute
  const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9";  // man ZWJ woman
  const std::string flag = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";  // regional indicators D E
  const Case cases[] = {
      {"ascii shorter", "abc", 120, "abc"},
      {"ascii cut", std::string(300, 'a'), 120, std::string(120, 'a')},
      {"zero", "abc", 0, ""},
      {"combining mark stays with its letter", eAcute + eAcute + "x", 2, eAcute + eAcute},
      {"emoji sequence is one", family + "ab", 2, family + "a"},
      {"flag is one", flag + flag, 1, flag},
      {"carriage return and line feed are one", "a\r\nb", 2, "a\r\n"},
      {"empty", "", 5, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(firstCharacters(c.text, c.count), c.expected) << c.name;
}

}  // namespace
}  // namespace velto
