#include "helper/script_runner.h"

#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace velto {
namespace {

// Names of the script files present in /tmp right now.
std::set<std::string> scriptFiles() {
  std::set<std::string> names;
  if (DIR* dir = opendir("/tmp")) {
    while (struct dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name.rfind("veltovpn-helper-script-", 0) == 0) names.insert(name);
    }
    closedir(dir);
  }
  return names;
}

class RunScriptTest : public ::testing::Test {
 protected:
  void SetUp() override { before_ = scriptFiles(); }
  // Every run, whatever its outcome, removes its script file.
  void TearDown() override { EXPECT_EQ(scriptFiles(), before_); }

 private:
  std::set<std::string> before_;
};

struct Case {
  const char* name;
  std::string script;
  std::string output;
  int32_t exitCode;
};

class RunScriptCases : public RunScriptTest, public ::testing::WithParamInterface<Case> {};

TEST_P(RunScriptCases, ReturnsCombinedOutputAndExitCode) {
  ScriptResult result = runScript(GetParam().script);
  EXPECT_EQ(result.output, GetParam().output);
  EXPECT_EQ(result.exitCode, GetParam().exitCode);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, RunScriptCases,
    ::testing::Values(
        Case{"BothStreamsInWrittenOrder", "echo one; echo two >&2; echo three; echo four >&2",
             "one\ntwo\nthree\nfour\n", 0},
        Case{"ExitStatus", "echo failing; exit 3", "failing\n", 3},
        Case{"NoTrailingNewlineAdded", "printf 'no newline'", "no newline", 0},
        Case{"ForeignInterpreterLineIsAComment", "#!/bin/sh\necho \"${BASH_VERSION:+bash}\"",
             "bash\n", 0},
        Case{"FixedSearchPath", "echo \"$PATH\"",
             "/usr/bin:/bin:/usr/sbin:/sbin:/usr/local/bin:/opt/homebrew/bin\n", 0},
        Case{"KilledBySignal", "kill -TERM $$", "", 128 + SIGTERM},
        Case{"SigpipeIsNotInheritedIgnored", "yes | head -n 2; echo \"${PIPESTATUS[0]}\"",
             "y\ny\n141\n", 0},
        Case{"NonUtf8OutputIsDropped", "printf 'ok \\377 bad'; exit 5", "", 5},
        Case{"OverlongUtf8IsDropped", "printf '\\300\\257'", "", 0},
        Case{"Utf8OutputKept", "printf 'caf\\303\\251 \\342\\200\\224'", "caf\xC3\xA9 \xE2\x80\x94",
             0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunScriptTest, ScriptFileIsPrivateWhileItRuns) {
  ScriptResult result = runScript("echo \"$0\"; stat -c '%a %u' \"$0\"");
  EXPECT_EQ(result.exitCode, 0) << result.output;
  std::smatch match;
  ASSERT_TRUE(std::regex_match(
      result.output, match,
      std::regex("(/tmp/veltovpn-helper-script-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-"
                 "[0-9A-F]{12}\\.sh)\n700 ([0-9]+)\n")))
      << result.output;
  EXPECT_EQ(match[2], std::to_string(getuid()));
  EXPECT_NE(access(match[1].str().c_str(), F_OK), 0);

  // A fresh file for every run.
  ScriptResult second = runScript("echo \"$0\"");
  EXPECT_NE(second.output, match[1].str() + "\n");
}

TEST_F(RunScriptTest, SearchPathIsSetWhateverTheCallersIs) {
  const char* saved = getenv("PATH");
  std::string original = saved ? saved : "";
  setenv("PATH", "/nonexistent", 1);
  ScriptResult result = runScript("env | grep -c '^PATH='; id -u >/dev/null && echo found");
  setenv("PATH", original.c_str(), 1);
  EXPECT_EQ(result.output, "1\nfound\n");
}

TEST_F(RunScriptTest, LargeOutputDoesNotBlock) {
  // Far more than a pipe holds: the runner must read while the script writes.
  ScriptResult result = runScript("head -c 5000000 /dev/zero | tr '\\0' 'x'; echo; echo done");
  EXPECT_EQ(result.exitCode, 0);
  ASSERT_EQ(result.output.size(), 5000000u + 6);
  EXPECT_EQ(result.output.substr(0, 3), "xxx");
  EXPECT_EQ(result.output.substr(5000000), "\ndone\n");
}

TEST_F(RunScriptTest, ReturnsWhenBashExitsThoughABackgroundChildHoldsThePipe) {
  char pidFile[] = "/tmp/helper-runner-test-XXXXXX";
  int fd = mkstemp(pidFile);
  ASSERT_GE(fd, 0);
  close(fd);
  ScriptResult result =
      runScript(std::string("sleep 20 & echo $! > ") + pidFile + "; echo started");
  std::ifstream in(pidFile);
  pid_t child = 0;
  in >> child;
  unlink(pidFile);
  ASSERT_GT(child, 0);
  // The background child is left alone: it may be something the script started
  // on purpose. The test cleans it up.
  EXPECT_EQ(kill(child, 0), 0);
  kill(child, SIGKILL);
  EXPECT_EQ(result.output, "started\n");
  EXPECT_EQ(result.exitCode, 0);
}

TEST_F(RunScriptTest, TimeOutKillsTheWholeProcessGroup) {
  ScriptRunOptions options;
  options.timeout = std::chrono::seconds(1);
  // The background sleeper is in the script's process group, so it dies too; if it
  // did not, it would hold the pipe and the output would carry "survived".
  ScriptResult result = runScript("(sleep 30; echo survived) & echo before; sleep 30", options);
  EXPECT_EQ(result.output, "before\nhelper: script timed out after 1 s");
  EXPECT_EQ(result.exitCode, 124);

  ScriptResult partial = runScript("printf 'no newline'; sleep 30", options);
  EXPECT_EQ(partial.output, "no newline\nhelper: script timed out after 1 s");
  EXPECT_EQ(partial.exitCode, 124);
}

TEST_F(RunScriptTest, LaunchFailureIsAResult) {
  ScriptRunOptions options;
  options.shell = "/nonexistent/bash";
  ScriptResult result = runScript("echo hi", options);
  EXPECT_EQ(result.output,
            "helper: failed to launch /nonexistent/bash: No such file or directory");
  EXPECT_EQ(result.exitCode, 1);
}

}  // namespace
}  // namespace velto
