#include "launcher/system_services.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

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
    rmdir(dir_.c_str());
  }

  // A sleeping process whose command line starts with `argv0`. SIGTERM is blocked
  // in it, so a signal sent to it stays pending where the test can see it.
  pid_t startWithCommandLine(const std::string& argv0) {
    char* argv[] = {const_cast<char*>(argv0.c_str()), const_cast<char*>("60"), nullptr};
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    posix_spawnattr_setsigmask(&attributes, &blocked);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, "/bin/sleep", nullptr, &attributes, argv, environ), 0);
    posix_spawnattr_destroy(&attributes);
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

  std::string dir_;
  std::vector<pid_t> children_;
};

// The real pkill with an escaped bundle path signals the process of that bundle
// and leaves alone a bundle whose name differs only in the special characters,
// which the unescaped path would have matched instead.
TEST_F(PkillTest, EscapedPatternSignalsOnlyThatBundle) {
  const std::string target = dir_ + "/Velto (2).app/Contents/MacOS/veltoVpn-bin";
  const std::string bystander = dir_ + "/Velto 2.app/Contents/MacOS/veltoVpn-bin";
  pid_t targetPid = startWithCommandLine(target);
  pid_t bystanderPid = startWithCommandLine(bystander);

  SpawnProcessRunner runner;
  ASSERT_EQ(runner.runAndWait("/usr/bin/pkill", {"-TERM", "-f", escapeExtendedRegex(target)}),
            std::nullopt);
  EXPECT_TRUE(termPending(targetPid));
  EXPECT_FALSE(termPending(bystanderPid));
}

TEST(SpawnProcessRunnerTest, ProgramThatCannotStartIsReported) {
  SpawnProcessRunner runner;
  EXPECT_EQ(runner.runAndWait("/nonexistent/pkill", {"-TERM"}), "No such file or directory");
  EXPECT_EQ(runner.runAndWait("/bin/sh", {"-c", "exit 3"}), std::nullopt)
      << "exit status is not an error";
}

}  // namespace
}  // namespace velto::launcher
