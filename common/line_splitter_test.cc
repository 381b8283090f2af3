// Splitting the bridge's byte stream into lines.
#include "common/line_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velto {
namespace {

class LineSplitterTest : public ::testing::Test {
 protected:
  static constexpr size_t kMaxLine = 16;
  LineSplitter splitter{[this](std::string_view line) { lines.emplace_back(line); },
                        [this](std::string_view start) { overlong.emplace_back(start); }, kMaxLine};
  std::vector<std::string> lines;
  std::vector<std::string> overlong;
};

// Bytes that are not UTF-8 stay in their line: dropping them could turn a bad
// line into a good one, which the parser would then accept.
TEST_F(LineSplitterTest, HandsOverCompleteNonEmptyLinesInOrder) {
  splitter.feed("one\ntwo\n");
  splitter.feed("thr");
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two"}));
  splitter.feed("ee\n\n\n  \nfour");
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "three", "  "}));
  splitter.feed("\na\xFFz\n\xFE\n");
  splitter.feed(std::string("c\0d\n", 4));
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "three", "  ", "four", "a\xFFz", "\xFE",
                                             std::string("c\0d", 3)}));
  EXPECT_TRUE(overlong.empty());
}

TEST_F(LineSplitterTest, OverlongLineIsReportedOnceAndDroppedUpToItsEnd) {
  const std::string longLine = "0123456789abcdefXYZ";
  for (bool oneRead : {true, false}) {
    SCOPED_TRACE(oneRead ? "in one read" : "byte by byte");
    lines.clear();
    overlong.clear();
    const std::string stream = std::string(kMaxLine, 'x') + "\n" + longLine + "\nnext\n";
    if (oneRead) {
      splitter.feed(stream);
    } else {
      for (char c : stream) splitter.feed(std::string_view(&c, 1));
    }
    EXPECT_EQ(overlong, (std::vector<std::string>{longLine.substr(0, kMaxLine)}));
    EXPECT_EQ(lines, (std::vector<std::string>{std::string(kMaxLine, 'x'), "next"}));
  }
}

}  // namespace
}  // namespace velto
