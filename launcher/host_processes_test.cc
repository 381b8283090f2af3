#include "launcher/host_processes.h"

#include <gtest/gtest.h>
#include <regex.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

extern char** environ;

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
// the near misses that the unescaped text would also match.
TEST(HostProcessesTest, EscapedPatternMatchesExactlyThePath) {
  struct Case {
    std::string path;
    std::vector<std::string> nearMisses;
  } cases[] = {
      {"/Applications/Velto (2).app/Contents/MacOS/veltoVpn-bin",
       {"/Applications/Velto 2.app/Contents/MacOS/veltoVpn-bin",
        "/Applications/Velto (2)Xapp/Contents/MacOS/veltoVpn-bin"}},
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

class PkillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/velto-pkill-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    for (pid_t pid : children_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    for (int fd : inputs_) close(fd);
    std::filesystem::remove_all(dir_);
  }

  // Starts `program` with the command line `argv`, its standard input a pipe
  // that stays open (so a reader such as cat keeps running). SIGTERM is blocked
  // in it, so a signal sent to it stays pending where the test can see it.
  pid_t start(const char* program, std::vector<std::string> argv) {
    std::vector<char*> pointers;
    for (std::string& argument : argv) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    int input[2];
    EXPECT_EQ(pipe(input), 0);
    inputs_.push_back(input[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    posix_spawnattr_setsigmask(&attributes, &blocked);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, program, &actions, &attributes, pointers.data(), environ), 0);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    children_.push_back(pid);
    return pid;
  }

  // Whether SIGTERM is pending for `pid` (Linux /proc: the process-wide set).
  static bool termPending(pid_t pid) {
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

  // Waits until `pid` runs its own program, so its command line is the one given.
  static void awaitExec(pid_t pid, const std::string& argv0) {
    for (int attempt = 0; attempt < 2000; ++attempt) {
      std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
      std::string first;
      if (std::getline(cmdline, first, '\0') && first == argv0) return;
      usleep(5000);
    }
    ADD_FAILURE() << pid << " never showed the command line " << argv0;
  }

  std::string dir_;
  std::vector<pid_t> children_;
  std::vector<int> inputs_;
};

// The real pkill with the pattern of a host process path signals the process
// started from that path, with or without arguments, and leaves alone every
// process whose command line only resembles or mentions it: another bundle whose
// name differs in a special character, a longer file name, a viewer of the
// program or of its log.
TEST_F(PkillTest, PatternSignalsOnlyTheProgramStartedFromThePath) {
  const std::string target = dir_ + "/Velto (2).app/Contents/MacOS/veltoVpn-bin";
  std::filesystem::create_directories(dir_ + "/Velto (2).app/Contents/MacOS");
  for (const std::string& file : {target, target + ".log"}) std::ofstream(file) << "x\n";
  struct Case {
    const char* program;
    std::vector<std::string> argv;
    bool signalled;
  } cases[] = {
      {"/bin/sleep", {target, "60"}, true},
      {"/bin/cat", {target}, true},
      {"/bin/sleep", {dir_ + "/Velto 2.app/Contents/MacOS/veltoVpn-bin", "60"}, false},
      {"/bin/sleep", {target + "-old", "60"}, false},
      {"/usr/bin/tail", {"tail", "-f", target}, false},
      {"/usr/bin/tail", {"less", "-f", target + ".log"}, false},
      {"/bin/sh", {"sh", "-c", "read line", target}, false},
  };
  std::vector<pid_t> pids;
  for (const Case& c : cases) {
    pids.push_back(start(c.program, c.argv));
    awaitExec(pids.back(), c.argv[0]);
  }

  std::string pattern = hostProcessPattern(target);
  char* pkill[] = {const_cast<char*>("pkill"), const_cast<char*>("-TERM"),
                   const_cast<char*>("-f"), pattern.data(), nullptr};
  pid_t runner = -1;
  ASSERT_EQ(posix_spawn(&runner, "/usr/bin/pkill", nullptr, nullptr, pkill, environ), 0);
  int status = 0;
  ASSERT_EQ(waitpid(runner, &status, 0), runner);
  for (size_t i = 0; i < pids.size(); ++i) {
    EXPECT_EQ(termPending(pids[i]), cases[i].signalled) << cases[i].argv[0] << " "
                                                         << cases[i].argv.back();
  }
}

}  // namespace
}  // namespace velto::launcher
