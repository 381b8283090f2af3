#include "launcher/host_processes.h"

#include <gtest/gtest.h>
#include <regex.h>
#include <signal.h>

#include <fstream>

#include "common/testing/process.h"
#include "common/testing/temp_dir.h"

namespace velto::launcher {
namespace {

bool matchesExtended(const std::string& pattern, const std::string& text) {
  regex_t regex;
  EXPECT_EQ(regcomp(&regex, pattern.c_str(), REG_EXTENDED | REG_NOSUB), 0) << pattern;
  bool matched = regexec(&regex, text.c_str(), 0, nullptr, 0) == 0;
  regfree(&regex);
  return matched;
}

// The escaped pattern matches the literal path, anchored at both ends, and none of
// the near misses that the unescaped text would also match (parentheses: the pkill
// test below).
TEST(HostProcessesTest, EscapedPatternMatchesExactlyThePath) {
  struct Case {
    std::string path;
    std::vector<std::string> nearMisses;
  } cases[] = {
      {"/Apps/a+b.app", {"/Apps/aab.app", "/Apps/a+bXapp"}},
      {"/x/[y]/{2}/a*b?c|d^e$f\\g", {"/x/y/{2}/a*b?c|d^e$f\\g", "/x/[y]/yy/aab?c"}},
  };
  for (const Case& c : cases) {
    std::string pattern = escapeExtendedRegex(c.path);
    EXPECT_TRUE(matchesExtended("^" + pattern + "$", c.path)) << pattern;
    EXPECT_TRUE(matchesExtended(pattern, "/bin/bash " + c.path + " --path=/x")) << pattern;
    for (const std::string& other : c.nearMisses) {
      EXPECT_FALSE(matchesExtended(pattern, other)) << pattern << " vs " << other;
    }
  }
}

// Whether SIGTERM is pending for `pid` (Linux /proc: the process-wide set).
bool termPending(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("ShdPnd:")) {
      return (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
    }
  }
  ADD_FAILURE() << "no pending-signal set for " << pid;
  return false;
}

std::string commandName(pid_t pid) {
  std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
  std::string first;
  std::getline(cmdline, first, '\0');
  return first;
}

// The real pkill with the pattern signals the program started from the path,
// with or without arguments, and no process whose command line only resembles
// or mentions it.
TEST(PkillTest, PatternSignalsOnlyTheProgramStartedFromThePath) {
  test_support::TempDir dir("velto-pkill-test");
  const std::string target = dir.file("Velto (2).app/Contents/MacOS/veltoVpn-bin");
  struct Case {
    std::vector<std::string> argv;  // the command line the process shows
    const char* program;
    bool signalled;
  } cases[] = {
      {{target, "60"}, "/bin/sleep", true},
      {{target}, "/bin/cat", true},
      {{dir.file("Velto 2.app/Contents/MacOS/veltoVpn-bin"), "60"}, "/bin/sleep", false},
      {{target + "-old", "60"}, "/bin/sleep", false},
      {{"sh", "-c", "read line", target}, "/bin/sh", false},
  };
  // Standard input stays open, so a reader such as cat keeps running; SIGTERM is
  // blocked, so a signal sent stays pending where the test can see it.
  test_support::ProcessOptions options;
  options.holdStdin = true;
  options.blockedSignals = {SIGTERM};
  std::vector<test_support::Process> processes;
  for (const Case& c : cases) {
    std::vector<std::string> args = {"/bin/bash", "-c", "exec -a \"$0\" \"$@\"", c.argv[0],
                                     c.program};
    args.insert(args.end(), c.argv.begin() + 1, c.argv.end());
    processes.emplace_back(args, options);
    pid_t pid = processes.back().pid();
    EXPECT_TRUE(test_support::eventually([&] { return commandName(pid) == c.argv[0]; }))
        << pid << " never showed the command line " << c.argv[0];
  }

  EXPECT_EQ(test_support::run({"/usr/bin/pkill", "-TERM", "-f", hostProcessPattern(target)}).status,
            0);
  for (size_t i = 0; i < processes.size(); ++i) {
    EXPECT_EQ(termPending(processes[i].pid()), cases[i].signalled)
        << cases[i].argv[0] << " " << cases[i].argv.back();
  }
}

}  // namespace
}  // namespace velto::launcher
