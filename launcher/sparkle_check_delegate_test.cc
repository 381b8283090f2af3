#include "launcher/sparkle_check_delegate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "build_config.h"

namespace velto::launcher {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// What the fakes were asked, in one timeline stamped with the fake clock (ms)
// and marked when on the background queue.
struct Timeline {
  long now = 0;
  bool onBackground = false;
  std::vector<std::string> events;
  void record(const std::string& event) {
    events.push_back(std::to_string(now) + (onBackground ? " [background] " : " ") + event);
  }
};

class FakeQueue final : public MainQueue, public BackgroundQueue {
 public:
  struct Entry {
    long due;
    long order;
    Block block;
  };
  FakeQueue(long& order, Timeline& timeline) : order_(order), timeline_(timeline) {}
  void post(Block block) override { postAfter(Delay::zero(), std::move(block)); }
  void postAfter(Delay delay, Block block) override {
    pending.push_back({timeline_.now + delay.count(), order_++, std::move(block)});
  }
  std::vector<Entry> pending;

 private:
  long& order_;
  Timeline& timeline_;
};

// Every service of update_platform.h apart from the queues.
class FakeSystem final : public SystemLog,
                         public ProcessRunner,
                         public HostAppProcesses,
                         public MainBundle,
                         public ProcessControl,
                         public UpdaterFactory {
 public:
  static constexpr int kOwnPid = 100;

  explicit FakeSystem(Timeline& timeline) : timeline_(timeline) {}

  void log(std::string_view message) override { timeline_.record("log " + std::string(message)); }

  Status runAndWait(const std::string& executable,
                    const std::vector<std::string>& arguments) override {
    std::string event = "run " + executable;
    for (const std::string& argument : arguments) event += " " + argument;
    timeline_.record(event);
    if (pkillFails) return Error{"The file doesn’t exist."};
    return {};
  }

  std::vector<std::unique_ptr<HostAppProcess>> withBundleIdentifier(
      const std::string& bundleIdentifier) override {
    timeline_.record("apps " + bundleIdentifier);
    std::vector<std::unique_ptr<HostAppProcess>> result;
    for (int pid : runningPids) result.push_back(std::make_unique<App>(pid, timeline_));
    return result;
  }

  std::optional<std::string> identifier() const override { return bundleIdentifier; }
  std::string path() const override { return bundlePath; }

  int processIdentifier() const override { return kOwnPid; }
  void exitNow(int status) override { timeline_.record("exit " + std::to_string(status)); }
  void terminateApplication() override { timeline_.record("terminate application"); }
  void replyToTerminate(bool terminate) override {
    timeline_.record(std::string("reply terminate ") + (terminate ? "yes" : "no"));
  }

  std::unique_ptr<Updater> create(UpdaterDelegate&) override {
    timeline_.record("create updater");
    return std::make_unique<FakeUpdater>(timeline_);
  }

  bool pkillFails = false;
  std::vector<int> runningPids;
  std::optional<std::string> bundleIdentifier = "com.veltovpn.app";
  std::string bundlePath = "/Applications/veltoVpn.app";

 private:
  class App final : public HostAppProcess {
   public:
    App(int pid, Timeline& timeline) : pid_(pid), timeline_(timeline) {}
    int processIdentifier() const override { return pid_; }
    void terminate() override { timeline_.record("quit " + std::to_string(pid_)); }

   private:
    int pid_;
    Timeline& timeline_;
  };
  class FakeUpdater final : public Updater {
   public:
    explicit FakeUpdater(Timeline& timeline) : timeline_(timeline) {}
    void checkForUpdates() override { timeline_.record("check"); }

   private:
    Timeline& timeline_;
  };
  Timeline& timeline_;
};

UpdatePlatform platformOf(FakeQueue& main, FakeQueue& background, FakeSystem& system) {
  return {main, background, system, system, system, system, system, system};
}

class SparkleCheckDelegateTest : public ::testing::Test {
 protected:
  // Runs every block due by `until` (milliseconds), the main and the background
  // queue together in order of deadline, then leaves the clock at `until`.
  void advanceTo(long until) {
    for (;;) {
      FakeQueue* queue = nullptr;
      std::vector<FakeQueue::Entry>::iterator next;
      for (FakeQueue* candidate : {&main_, &background_}) {
        auto earliest = std::min_element(
            candidate->pending.begin(), candidate->pending.end(), [](const auto& a, const auto& b) {
              return std::tie(a.due, a.order) < std::tie(b.due, b.order);
            });
        if (earliest == candidate->pending.end() || earliest->due > until) continue;
        if (!queue || std::tie(earliest->due, earliest->order) < std::tie(next->due, next->order)) {
          queue = candidate;
          next = earliest;
        }
      }
      if (!queue) break;
      timeline_.now = next->due;
      Block block = std::move(next->block);
      queue->pending.erase(next);
      timeline_.onBackground = queue == &background_;
      block();
      timeline_.onBackground = false;
    }
    timeline_.now = until;
  }

  std::vector<std::string> takeEvents() { return std::exchange(timeline_.events, {}); }

  Timeline timeline_;
  long order_ = 0;
  FakeQueue main_{order_, timeline_};
  FakeQueue background_{order_, timeline_};
  FakeSystem system_{timeline_};
  UpdatePlatform platform_ = platformOf(main_, background_, system_);
  std::unique_ptr<SparkleCheckDelegate> delegate_ =
      std::make_unique<SparkleCheckDelegate>(platform_);
};

// The six pkill runs of one terminateHostAppProcesses() call made at `start` ms.
std::vector<std::string> signalPasses(long start, const std::string& bundlePattern) {
  std::vector<std::string> runs;
  for (auto [offset, signal] : {std::pair{750L, "-TERM"}, std::pair{1750L, "-KILL"}}) {
    for (const char* suffix : {"/Contents/MacOS/veltoVpn-bin",
                               "/Contents/MacOS/extensions/veltoExtension/bin/index-darwin",
                               "/Contents/MacOS/veltovpn-menubar"}) {
      runs.push_back(std::to_string(start + offset) + " [background] run /usr/bin/pkill " + signal +
                     " -f ^" + bundlePattern + suffix + "( |$)");
    }
  }
  return runs;
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(SparkleCheckDelegateTest, LaunchCreatesTheUpdaterAndChecksFromTheEventLoopIfStillThere) {
  delegate_->applicationDidFinishLaunching();
  EXPECT_THAT(takeEvents(), ElementsAre("0 create updater"));
  advanceTo(0);
  EXPECT_THAT(takeEvents(), ElementsAre("0 check"));
  EXPECT_FALSE(delegate_->applicationShouldTerminateAfterLastWindowClosed());
  // A check still queued when the delegate goes is skipped.
  delegate_->applicationDidFinishLaunching();
  delegate_.reset();
  advanceTo(0);
  EXPECT_THAT(takeEvents(), ElementsAre("0 create updater"));
}

// Half a second after the cycle: a normal termination, or exit 71 after an error.
TEST_F(SparkleCheckDelegateTest, CycleEndsTheProcessHalfASecondLater) {
  const std::string error = "An error occurred while downloading the update.";
  delegate_->didFinishUpdateCycle(std::nullopt);
  advanceTo(499);
  EXPECT_THAT(
      takeEvents(),
      ElementsAre(
          "0 log [launcher] Sparkle update cycle finished error=none installStarted=false"));
  advanceTo(10'000);
  EXPECT_THAT(takeEvents(), ElementsAre("500 terminate application"));

  delegate_ = std::make_unique<SparkleCheckDelegate>(platform_);
  delegate_->didAbortWithError(error);
  delegate_->didFinishUpdateCycle(error);
  advanceTo(20'000);
  EXPECT_THAT(takeEvents(),
              ElementsAre("10000 log [launcher] Sparkle update aborted: " + error,
                          "10000 log [launcher] Sparkle update cycle finished error=" + error +
                              " installStarted=false",
                          "10500 exit 71"));
}

TEST_F(SparkleCheckDelegateTest, WillInstallStopsHostProcessesAndKeepsTheProcessAlive) {
  system_.runningPids = {200, FakeSystem::kOwnPid, 300};
  delegate_->willInstallUpdate("2.1.0");
  EXPECT_TRUE(delegate_->installStarted());
  advanceTo(100);
  delegate_->didFinishUpdateCycle(std::nullopt);
  advanceTo(60'000);
  std::vector<std::string> expected = {
      "0 log [launcher] Sparkle will install update 2.1.0; terminating host app processes",
      "0 apps com.veltovpn.app",
      "0 quit 200",
      "0 quit 300",
      "100 log [launcher] Sparkle update cycle finished error=none installStarted=true",
  };
  EXPECT_EQ(takeEvents(), concat(expected, signalPasses(0, "/Applications/veltoVpn\\.app")));
}

TEST_F(SparkleCheckDelegateTest, InstallOnQuitSignalsThenInstallsWithoutMarkingTheInstall) {
  system_.runningPids = {FakeSystem::kOwnPid, 400};
  EXPECT_TRUE(delegate_->willInstallUpdateOnQuit(
      "2.1.0", [&] { timeline_.record("immediate installation"); }));
  EXPECT_FALSE(delegate_->installStarted());
  advanceTo(3'000);
  delegate_->didFinishUpdateCycle(std::nullopt);
  advanceTo(60'000);
  std::vector<std::string> expected =
      concat({"0 log [launcher] Sparkle install requested; terminating host app processes",
              "0 apps com.veltovpn.app", "0 quit 400"},
             signalPasses(0, "/Applications/veltoVpn\\.app"));
  expected = concat(expected, {
                                  "2500 log [launcher] Starting Sparkle immediate installation",
                                  "2500 immediate installation",
                                  "3000 log [launcher] Sparkle update cycle finished error=none "
                                  "installStarted=false",
                                  "3500 terminate application",
                              });
  EXPECT_EQ(takeEvents(), expected);
}

// A cycle that ends before the immediate installation still ends the process
// 0.5 s later; the installation block is left waiting behind it.
TEST_F(SparkleCheckDelegateTest, CycleEndingBeforeTheImmediateInstallationStillTerminates) {
  delegate_->willInstallUpdateOnQuit("2.1.0", [&] { timeline_.record("immediate installation"); });
  advanceTo(1'000);
  delegate_->didFinishUpdateCycle(std::nullopt);
  advanceTo(60'000);
  std::vector<std::string> events = takeEvents();
  auto terminate = std::find(events.begin(), events.end(), "1500 terminate application");
  auto install = std::find(events.begin(), events.end(), "2500 immediate installation");
  ASSERT_NE(terminate, events.end());
  ASSERT_NE(install, events.end());
  EXPECT_LT(terminate, install);
}

// A quit while signal passes are to run is allowed right after the last pass of
// every installation step so far; otherwise it goes at once.
TEST_F(SparkleCheckDelegateTest, QuitDuringAnInstallationWaitsForTheSignalPasses) {
  enum Step { kWillInstall, kInstallOnQuit };
  struct Case {
    std::vector<std::pair<long, Step>> steps;
    long quitAt;
    std::optional<long> replyAt;  // nullopt: the quit is not put off
  } cases[] = {
      {{}, 0, std::nullopt},
      {{{0, kWillInstall}}, 100, 1750},
      {{{0, kInstallOnQuit}}, 1000, 1750},
      {{{0, kWillInstall}, {500, kInstallOnQuit}}, 600, 2250},
      {{{0, kWillInstall}}, 2000, std::nullopt},
  };
  for (const Case& c : cases) {
    delegate_ = std::make_unique<SparkleCheckDelegate>(platform_);
    timeline_.now = 0;
    for (auto [at, step] : c.steps) {
      advanceTo(at);
      if (step == kWillInstall) {
        delegate_->willInstallUpdate("2.1.0");
      } else {
        delegate_->willInstallUpdateOnQuit("2.1.0", [] {});
      }
    }
    advanceTo(c.quitAt);
    TerminateReply reply = delegate_->applicationShouldTerminate();
    EXPECT_EQ(reply, c.replyAt ? TerminateReply::kLater : TerminateReply::kNow) << c.quitAt;
    advanceTo(60'000);
    std::vector<std::string> events = takeEvents();
    std::vector<std::string> replies;
    for (const std::string& event : events) {
      if (event.find("reply") != std::string::npos) replies.push_back(event);
    }
    if (c.replyAt) {
      EXPECT_THAT(replies, ElementsAre(std::to_string(*c.replyAt) + " reply terminate yes"));
      auto lastPkill = std::find_if(events.rbegin(), events.rend(), [](const std::string& e) {
        return e.find("run /usr/bin/pkill") != std::string::npos;
      });
      EXPECT_TRUE(std::find(events.rbegin(), lastPkill, replies.front()) != lastPkill)
          << "the quit went before the last pass";
    } else {
      EXPECT_THAT(replies, IsEmpty());
    }
  }
}

TEST_F(SparkleCheckDelegateTest, BundleIdentifierAndPatternsComeFromTheMainBundle) {
  auto withoutTimes = [](std::vector<std::string> events) {
    for (std::string& event : events) event.erase(0, event.find(' ') + 1);
    return events;
  };
  struct Case {
    std::optional<std::string> identifier;
    std::string expectedQuery;
  } cases[] = {
      {std::nullopt, std::string("apps ") + VELTOVPN_BUNDLE_ID},
      {"com.example.renamed", "apps com.example.renamed"},
  };
  system_.bundlePath = "/Applications/Velto (2).app";
  for (const Case& c : cases) {
    system_.bundleIdentifier = c.identifier;
    delegate_->terminateHostAppProcesses();
    advanceTo(timeline_.now + 60'000);
    EXPECT_EQ(withoutTimes(takeEvents()),
              concat({c.expectedQuery},
                     withoutTimes(signalPasses(0, "/Applications/Velto \\(2\\)\\.app"))));
  }
}

TEST_F(SparkleCheckDelegateTest, PkillThatCannotStartIsLoggedAndTheOthersGoOn) {
  system_.pkillFails = true;
  delegate_->terminateHostAppProcesses();
  advanceTo(60'000);
  std::vector<std::string> events = takeEvents();
  auto count = [&](const char* text) {
    return std::count_if(events.begin(), events.end(),
                         [&](const std::string& e) { return e.find(text) != std::string::npos; });
  };
  EXPECT_EQ(count(" run "), 6);
  EXPECT_EQ(count("pkill failed for"), 6);
}

// The slot destroys the delegate it held before (the leak checker of the
// sanitizer run catches the fault); the last one stays for the process.
TEST(SparkleCheckAppTest, SlotKeepsTheLatestDelegate) {
  Timeline timeline;
  long order = 0;
  FakeQueue queue(order, timeline);
  FakeSystem system(timeline);
  UpdatePlatform platform = platformOf(queue, queue, system);
  SparkleCheckDelegate& first =
      SparkleCheckApp::retain(std::make_unique<SparkleCheckDelegate>(platform));
  EXPECT_EQ(SparkleCheckApp::retainedDelegate, &first);
  SparkleCheckDelegate& second =
      SparkleCheckApp::retain(std::make_unique<SparkleCheckDelegate>(platform));
  EXPECT_EQ(SparkleCheckApp::retainedDelegate, &second);
  EXPECT_THAT(timeline.events, IsEmpty());
}

}  // namespace
}  // namespace velto::launcher
