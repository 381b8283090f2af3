// The script runner with the real bash: what a script returns and is given, and
// the bounds in size and time. What a daemon hands a script (signals, descriptors)
// and a background program holding its pipe are the process test's.
#include "helper/script_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/io.h"
#include "common/testing/process.h"
#include "common/testing/temp_dir.h"
#include "common/unique_fd.h"

namespace velto {
namespace {

struct Case {
  const char* name;
  std::string script;
  std::string output;
  int32_t exitCode;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class RunScriptCases : public ::testing::TestWithParam<Case> {};

TEST_P(RunScriptCases, ReturnsCombinedOutputAndExitCode) {
  ScriptResult result = runScript(GetParam().script);
  EXPECT_EQ(result.output, GetParam().output);
  EXPECT_EQ(result.exitCode, GetParam().exitCode);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, RunScriptCases,
    ::testing::Values(Case{"BothStreamsInWrittenOrder",
                           "echo one; echo two >&2; echo three; echo four >&2",
                           "one\ntwo\nthree\nfour\n", 0},
                      Case{"NoTrailingNewlineAdded", "printf 'no newline'", "no newline", 0},
                      Case{"ForeignInterpreterLineIsAComment",
                           "#!/bin/sh\necho \"${BASH_VERSION:+bash}\"", "bash\n", 0},
                      Case{"FixedSearchPath", "echo \"$PATH\"",
                           "/usr/bin:/bin:/usr/sbin:/sbin:/usr/local/bin:/opt/homebrew/bin\n", 0},
                      Case{"KilledBySignal", "kill -TERM $$", "", SIGTERM},
                      Case{"NonUtf8OutputIsDropped", "printf 'ok \\377 bad'; exit 5", "", 5},
                      Case{"Utf8OutputKept", "printf 'caf\\303\\251 \\342\\200\\224'",
                           "caf\xC3\xA9 \xE2\x80\x94", 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Every run has a script file of its own, private to its owner from the start,
// and removed however the run ends.
TEST(RunScriptTest, ScriptFileIsPrivateAndRemovedOnEveryPath) {
  test_support::TempDir dir("helper-runner-test");
  const std::string record = dir.file("record");
  const std::string note = "stat -c '%n %a %u' \"$0\" >> " + record + "; ";
  ScriptRunOptions shortBound;
  shortBound.timeout = std::chrono::seconds(1);
  for (const char* ending : {"exit 0", "exit 3", "kill -KILL $$", "printf '\\377'", "sleep 30"}) {
    runScript(note + ending, shortBound);
  }
  const std::regex expected(
      "(/tmp/veltovpn-helper-script-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}"
      "\\.sh) 700 " +
      std::to_string(getuid()));
  std::ifstream in(record);
  std::set<std::string> seen;
  for (std::string line; std::getline(in, line);) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, expected)) << line;
    EXPECT_TRUE(seen.insert(match[1]).second) << "two runs shared " << match[1];
    EXPECT_NE(access(match[1].str().c_str(), F_OK), 0) << match[1] << " was left behind";
  }
  EXPECT_EQ(seen.size(), 5u);
}

TEST(RunScriptTest, VariablesThatChangeHowBashRunsAreNotPassedOn) {
  test_support::TempDir dir("helper-runner-test");
  const std::string sourced = dir.file("hook");
  std::ofstream(sourced) << "echo sourced-by-bash\n";
  std::vector<std::string> planted = {
      "BASH_ENV=" + sourced,  "ENV=" + sourced, "SHELLOPTS=xtrace",
      "BASHOPTS=nullglob",    "PS4=+traced+ ",  "IFS=e",
      "CDPATH=/usr",          "GLOBIGNORE=*",   "BASH_FUNC_echo%%=() { builtin echo hijacked; }",
      "HELPER_TEST_KEPT=kept"};
  for (std::string& entry : planted) putenv(entry.data());
  ScriptResult result = runScript(
      "echo \"$HELPER_TEST_KEPT\"; x='a e b'; echo $x; cd lib 2>/dev/null && pwd; "
      "echo /ho*; env | grep -cE "
      "'^(BASH_ENV|ENV|SHELLOPTS|BASHOPTS|IFS|PS4|CDPATH|GLOBIGNORE)=|^BASH_FUNC_'");
  for (const std::string& entry : planted) unsetenv(entry.substr(0, entry.find('=')).c_str());
  // No sourced file, no trace, default word splitting, no cd into /usr/lib, the
  // glob expands, the builtin echo; only the harmless variable arrives.
  EXPECT_EQ(result.output, "kept\na e b\n/home\n0\n");
  EXPECT_EQ(result.exitCode, 1);  // grep -c found nothing
}

TEST(RunScriptTest, OutputBeyondTheBoundIsCutAtACharacterAndTheScriptRunsOn) {
  // One byte short of the bound, then a two-byte character that straddles it,
  // then far more than the bound; the script goes on to its own exit code.
  const std::string fill = std::to_string(kMaxOutput - 1);
  ScriptResult result = runScript("head -c " + fill +
                                  " /dev/zero | tr '\\0' x; printf '\\303\\251'; "
                                  "head -c 40000000 /dev/zero; exit 4");
  EXPECT_EQ(result.exitCode, 4);
  ASSERT_EQ(result.output.size(), kMaxOutput - 1 + 38) << result.output.substr(kMaxOutput - 8);
  EXPECT_EQ(result.output.substr(kMaxOutput - 3), "xx\nhelper: output truncated after 16 MiB");

  // Exactly the bound is all kept, with no note; one byte more is cut.
  struct Case {
    size_t bytes;
    std::string kept;
  } cases[] = {
      {kMaxOutput, std::string(kMaxOutput, 'x')},
      {kMaxOutput + 1, std::string(kMaxOutput, 'x') + "\nhelper: output truncated after 16 MiB"},
  };
  for (const Case& c : cases) {
    ScriptResult at = runScript("head -c " + std::to_string(c.bytes) + " /dev/zero | tr '\\0' x");
    EXPECT_EQ(at.output.size(), c.kept.size()) << c.bytes;
    EXPECT_TRUE(at.output == c.kept) << c.bytes << ": ends " << at.output.substr(kMaxOutput - 8);
  }

  // Bytes that are not UTF-8 within the kept part drop it, as for any output.
  ScriptResult bad =
      runScript("printf '\\377'; head -c " + std::to_string(kMaxOutput) + " /dev/zero");
  EXPECT_EQ(bad.output, "\nhelper: output truncated after 16 MiB");
  EXPECT_EQ(bad.exitCode, 0);
}

bool processEnded(pid_t pid) {
  // Gone, or a zombie left to the reaper that adopted it.
  const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
  return test_support::eventually([&] {
    std::string line;
    return !std::getline(std::ifstream(stat), line) || line.find(") Z ") != std::string::npos;
  });
}

TEST(RunScriptTest, TimeOutKillsTheWholeProcessGroup) {
  test_support::TempDir dir("helper-runner-test");
  const std::string pidFile = dir.file("pid");
  ScriptRunOptions options;
  options.timeout = std::chrono::seconds(1);
  ScriptResult result = runScript(
      "(sleep 30; echo survived) & echo $! > " + pidFile + "; echo before; sleep 30", options);
  EXPECT_EQ(result.output, "before\nhelper: script timed out after 1 s");
  EXPECT_EQ(result.exitCode, 124);
  pid_t background = 0;
  std::ifstream(pidFile) >> background;
  ASSERT_GT(background, 0);
  const bool ended = processEnded(background);
  EXPECT_TRUE(ended) << "the background job outlived the time-out";
  if (!ended) kill(background, SIGKILL);

  ScriptResult partial = runScript("printf 'no newline'; sleep 30", options);
  EXPECT_EQ(partial.output, "no newline\nhelper: script timed out after 1 s");
  EXPECT_EQ(partial.exitCode, 124);
}

// A stop that comes while the script runs (the script itself asks for it, by
// writing to the stop pipe once its trap and background job are in place).
struct StopCase {
  const char* name;
  std::string setUp;   // before the stop is asked for
  std::string output;  // before the stop note
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class StopCases : public ::testing::TestWithParam<StopCase> {};

TEST_P(StopCases, GroupIsEndedTrapRunsFileGoes) {
  test_support::TempDir dir("helper-runner-test");
  const std::string fifo = dir.file("stop"), record = dir.file("record");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Held open for reading and writing, so that the script's write never waits.
  UniqueFd stop(open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(stop);
  ScriptRunOptions options;
  options.stopFd = stop.get();
  // bash may end on SIGTERM without its EXIT trap unless the script turns the
  // signal into an exit, as a script that cleans up does; a subshell caught
  // between its fork and its exec has the traps too.
  ScriptResult result = runScript("echo \"$0\" >" + record +
                                      "; trap '[ $BASHPID != $$ ] || echo trap ran' EXIT;"
                                      " trap exit TERM; " +
                                      GetParam().setUp + " sleep 30 & echo $! >>" + record +
                                      "; echo stop >" + fifo + "; wait",
                                  options);
  EXPECT_EQ(result.output,
            GetParam().output + "helper: script stopped: the helper is shutting down");
  EXPECT_EQ(result.exitCode, kStoppedExitCode);
  EXPECT_TRUE(result.stopped);
  std::ifstream in(record);
  std::string scriptFile;
  pid_t background = 0;
  in >> scriptFile >> background;
  EXPECT_NE(access(scriptFile.c_str(), F_OK), 0) << scriptFile << " was left behind";
  ASSERT_GT(background, 0);
  const bool ended = processEnded(background);
  EXPECT_TRUE(ended) << "the script's background job outlived the stop";
  if (!ended) kill(background, SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(
    Stops, StopCases,
    ::testing::Values(StopCase{"TermEndsTheScriptAndItsTrapRuns", "", "trap ran\n"},
                      // Neither the shell nor its job heeds SIGTERM: both are
                      // killed when the grace is over, with no trap.
                      StopCase{"WhatIgnoresTermIsKilled", "trap '' TERM;", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RunScriptTest, StopBeforeTheRunRunsNothing) {
  Result<Pipe> stop = makeCloseOnExecPipe();
  ASSERT_TRUE(stop.ok());
  ASSERT_EQ(write(stop->writeEnd.get(), "x", 1), 1);
  test_support::TempDir dir("helper-runner-test");
  ScriptRunOptions options;
  options.stopFd = stop->readEnd.get();
  ScriptResult result = runScript("touch " + dir.file("ran"), options);
  EXPECT_EQ(result.output, "helper: script stopped: the helper is shutting down");
  EXPECT_EQ(result.exitCode, kStoppedExitCode);
  EXPECT_NE(access(dir.file("ran").c_str(), F_OK), 0);
}

TEST(RunScriptTest, LaunchFailureIsAResult) {
  ScriptRunOptions options;
  options.shell = "/nonexistent/bash";
  ScriptResult result = runScript("echo hi", options);
  EXPECT_EQ(result.output, "helper: failed to launch /nonexistent/bash: No such file or directory");
  EXPECT_EQ(result.exitCode, 1);
}

}  // namespace
}  // namespace velto
