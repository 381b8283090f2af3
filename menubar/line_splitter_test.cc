// Splitting the bridge's byte stream into lines of valid UTF-8.
#include "menubar/line_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velto {
namespace {

TEST(Utf8StreamDecoder, KeepsCharactersWholeAndDropsOnlyInvalidBytes) {
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    std::string expected;
  };
  const Case cases[] = {
      {"ascii", {"abc", "def"}, "abcdef"},
      {"two-byte char split", {"caf\xC3", "\xA9!"}, "caf\xC3\xA9!"},
      {"three-byte char split twice", {"\xE2", "\x80", "\xA6."}, "\xE2\x80\xA6."},
      {"four-byte char split", {"\xF0\x9F", "\x98\x80"}, "\xF0\x9F\x98\x80"},
      {"stray continuation byte", {"a\x80" "b"}, "ab"},
      {"impossible bytes", {"a\xFF\xFE" "b\xC0\xAF"}, "ab"},
      {"overlong three-byte form", {"\xE0\x80\xAF" "x"}, "x"},
      {"surrogate", {"\xED\xA0\x80" "x"}, "x"},
      {"above U+10FFFF", {"\xF4\x90\x80\x80" "x"}, "x"},
      {"truncated by an ASCII byte", {"\xE2\x82", "A"}, "A"},
      {"lead byte then new lead byte", {"\xC3", "\xC3\xA9"}, "\xC3\xA9"},
  };
  for (const Case& c : cases) {
    Utf8StreamDecoder decoder;
    std::string out;
    for (const std::string& chunk : c.chunks) decoder.decode(chunk, out);
    EXPECT_EQ(out, c.expected) << c.name;
  }
}

class LineSplitterTest : public ::testing::Test {
 protected:
  LineSplitter splitter{[this](std::string_view line) { lines.emplace_back(line); },
                        [this](std::string_view start) { overlong.emplace_back(start); }};
  std::vector<std::string> lines;
  std::vector<std::string> overlong;
};

TEST_F(LineSplitterTest, HandsOverCompleteNonEmptyLinesInOrder) {
  splitter.feed("one\ntwo\n");
  splitter.feed("thr");
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two"}));
  splitter.feed("ee\n\n\n  \nfour");
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "three", "  "}));
  EXPECT_TRUE(overlong.empty());
}

TEST_F(LineSplitterTest, CarriageReturnStaysInTheLineAndDoesNotHoldItBack) {
  splitter.feed("{\"type\":\"ping\"}\r\n{\"a\":1}\r");
  splitter.feed("\n");
  EXPECT_EQ(lines, (std::vector<std::string>{"{\"type\":\"ping\"}\r", "{\"a\":1}\r"}));
}

TEST_F(LineSplitterTest, CharacterStraddlingTwoReadsIsKept) {
  std::string line = "{\"type\":\"status\",\"relayId\":\"z\xC3\xBCrich\"}\n";
  size_t cut = line.find('\xC3') + 1;
  splitter.feed(line.substr(0, cut));
  splitter.feed(line.substr(cut));
  EXPECT_EQ(lines, (std::vector<std::string>{line.substr(0, line.size() - 1)}));
}

TEST_F(LineSplitterTest, InvalidBytesAreDroppedAndTheStreamGoesOn) {
  splitter.feed("a\xFF" "b\n\xFE\n");
  splitter.feed("c\n");
  EXPECT_EQ(lines, (std::vector<std::string>{"ab", "c"}));
}

TEST_F(LineSplitterTest, OverlongLineIsReportedOnceAndDroppedUpToItsEnd) {
  std::string chunk(4096, 'x');
  size_t fed = 0;
  while (fed <= LineSplitter::kMaxPending) {
    splitter.feed(chunk);
    fed += chunk.size();
  }
  ASSERT_EQ(overlong.size(), 1u);
  EXPECT_GT(overlong[0].size(), LineSplitter::kMaxPending);
  EXPECT_EQ(overlong[0].substr(0, 3), "xxx");
  splitter.feed(chunk);
  splitter.feed("tail of the long line\nnext\n");
  EXPECT_EQ(overlong.size(), 1u);
  EXPECT_EQ(lines, (std::vector<std::string>{"next"}));
}

}  // namespace
}  // namespace velto
