#include "launcher/system_services.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "launcher/event_loop.h"
#include "launcher/host_processes.h"

extern char** environ;

namespace velto::launcher {
namespace {

TEST(SystemLogTest, ClassicLineWithMessageVerbatim) {
  std::tm time{};
  time.tm_year = 126;
  time.tm_mon = 11;
  time.tm_mday = 6;
  time.tm_hour = 20;
  time.tm_min = 9;
  time.tm_sec = 3;
  EXPECT_EQ(formatSystemLogLine(time, "VeltoVpnLauncher", 4242, "[launcher] 100% %s %@"),
            "Dec  6 20:09:03 VeltoVpnLauncher[4242]: [launcher] 100% %s %@\n");
  time.tm_mday = 16;
  EXPECT_EQ(formatSystemLogLine(time, "L", 1, ""), "Dec 16 20:09:03 L[1]: \n");
}

TEST(EventLoopTest, RunsBlocksByDeadlineThenInQueueOrderUntilStopped) {
  EventLoop loop;
  std::vector<std::string> ran;
  // Queued first but due last; the gap is far larger than the time the other
  // blocks need, so the order does not depend on the machine's speed.
  loop.postAfter(Delay(500), [&] {
    ran.push_back("later");
    loop.stop();
  });
  loop.postAfter(Delay(60'000), [&] { ran.push_back("never"); });
  loop.post([&] {
    ran.push_back("first");
    loop.post([&] { ran.push_back("queued from a block"); });
  });
  loop.post([&] { ran.push_back("second"); });
  loop.run();
  EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "queued from a block", "later"}));
}

TEST(EventLoopTest, BlockFromAnotherThreadWakesTheIdleLoop) {
  EventLoop loop;
  bool ran = false;
  std::thread poster([&] {
    loop.post([&] {
      ran = true;
      loop.stop();
    });
  });
  loop.run();
  poster.join();
  EXPECT_TRUE(ran);
}

TEST(ThreadBackgroundQueueTest, BlocksRunBesideEachOther) {
  std::promise<void> secondRan;
  std::promise<bool> firstSawSecond;
  {
    ThreadBackgroundQueue queue;
    queue.postAfter(Delay(0), [&] {
      // Waits for a block queued later: only possible when they run side by side.
      firstSawSecond.set_value(secondRan.get_future().wait_for(std::chrono::seconds(20)) ==
                               std::future_status::ready);
    });
    queue.postAfter(Delay(1), [&] { secondRan.set_value(); });
  }  // the destructor waits for both
  EXPECT_TRUE(firstSawSecond.get_future().get());
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

  SpawnProcessRunner runner;
  ASSERT_EQ(runner.runAndWait("/usr/bin/pkill", {"-TERM", "-f", hostProcessPattern(target)}),
            std::nullopt);
  for (size_t i = 0; i < pids.size(); ++i) {
    EXPECT_EQ(termPending(pids[i]), cases[i].signalled) << cases[i].argv[0] << " "
                                                         << cases[i].argv.back();
  }
}

TEST(SpawnProcessRunnerTest, ProgramThatCannotStartIsReported) {
  SpawnProcessRunner runner;
  EXPECT_EQ(runner.runAndWait("/nonexistent/pkill", {"-TERM"}), "No such file or directory");
  EXPECT_EQ(runner.runAndWait("/bin/sh", {"-c", "exit 3"}), std::nullopt)
      << "exit status is not an error";
}

}  // namespace
}  // namespace velto::launcher
