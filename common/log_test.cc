#include "common/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "common/testing/temp_dir.h"

namespace velto {
namespace {

namespace fs = std::filesystem;

class LogTest : public ::testing::Test {
 protected:
  std::vector<std::string> readLines() {
    std::ifstream in(path_, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
  }

  test_support::TempDir temp_{"velto-log-test"};
  const std::string path_ = temp_.file("test.log");
};

TEST(LogFormatTest, LineHasBracketedUtcTimestampAndRawMessage) {
  using namespace std::chrono;
  // 2026-01-31T08:05:09Z
  sys_seconds when = sys_days{year{2026} / January / 31} + hours{8} + minutes{5} + seconds{9};
  EXPECT_EQ(formatLogLine("hello", when), "[2026-01-31T08:05:09Z] hello\n");
  // Nothing is escaped or trimmed, not even embedded line feeds or non-ASCII text.
  EXPECT_EQ(formatLogLine("  a\nb — ü ", when), "[2026-01-31T08:05:09Z]   a\nb — ü \n");
  // Sub-second parts are dropped, not rounded.
  EXPECT_EQ(logTimestamp(when + milliseconds{999}), "2026-01-31T08:05:09Z");
}

TEST(LogFormatTest, PeerTextLosesOnlyItsControlCharacters) {
  struct Case {
    std::string_view text;
    std::string_view escaped;
  } cases[] = {
      {"connected", "connected"},
      {"a\nb\r\tc", "a\\nb\\r\\tc"},
      {std::string_view("\0\x01\x1f\x7f", 4), "\\u0000\\u0001\\u001f\\u007f"},
      // Backslashes, blanks and UTF-8 (even broken) pass unchanged.
      {"m\xC3\xBCnchen \\n \xC3", "m\xC3\xBCnchen \\n \xC3"},
  };
  for (const Case& c : cases) EXPECT_EQ(escapeControlCharacters(c.text), c.escaped) << c.escaped;
}

// A permissive umask must not open the new file to others; a file that cannot
// be written leaves the copy on standard output.
TEST_F(LogTest, CreatesPrivateFileWithFirstLineThenAppends) {
  const mode_t saved = ::umask(0);
  ::testing::internal::CaptureStdout();
  appendLogLine(path_, "first");
  appendLogLine(path_, "second");
  appendLogLine(temp_.file("missing-dir/x.log"), "still shown");
  std::string out = ::testing::internal::GetCapturedStdout();
  ::umask(saved);

  auto lines = readLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].ends_with("] first"));
  EXPECT_TRUE(lines[1].ends_with("] second"));
  // Standard output receives the very same lines.
  EXPECT_TRUE(out.starts_with(lines[0] + "\n" + lines[1] + "\n")) << out;
  EXPECT_EQ(fs::status(path_).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(out.ends_with("] still shown\n")) << out;
  EXPECT_FALSE(fs::exists(temp_.file("missing-dir")));
}

std::string payload(int writer, int i) {
  return "writer " + std::to_string(writer) + " line " + std::to_string(i) + " " +
         std::string(200, static_cast<char>('a' + writer));
}

// Two processes of two threads each: lines are neither torn nor lost, whether
// the writers share a process or not.
TEST_F(LogTest, ConcurrentWritersLoseNoLine) {
  constexpr int kProcesses = 2, kThreads = 2, kLines = 300;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Keep the children's echo out of the test's output.
      freopen("/dev/null", "w", stdout);
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, w = p * kThreads + t] {
          for (int i = 0; i < kLines; ++i) appendLogLine(path_, payload(w, i));
        });
      }
      for (auto& th : threads) th.join();
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  // Every line is one of the payloads, whole, each exactly once.
  std::vector<std::string> written, expected;
  for (const std::string& line : readLines()) written.push_back(line.substr(line.find("] ") + 2));
  for (int w = 0; w < kProcesses * kThreads; ++w) {
    for (int i = 0; i < kLines; ++i) expected.push_back(payload(w, i));
  }
  std::sort(written.begin(), written.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_TRUE(written == expected) << "lines torn, lost or doubled";
}

}  // namespace
}  // namespace velto
