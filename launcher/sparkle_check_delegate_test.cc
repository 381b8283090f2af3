// The update-mode delegate against fakes of every platform service: one fake
// clock runs both queues, and one timeline shows everything the fakes were asked.
#include "launcher/sparkle_check_delegate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "build_config.h"

namespace velto::launcher {
namespace {

using ::testing::ElementsAreArray;

// Every service of update_platform.h apart from the queues. Each request goes to
// the timeline stamped with the fake clock (ms) and marked when on the background
// queue. Both queues' blocks wait in `pending`, by deadline, then by queueing order.
class FakeSystem final : public SystemLog,
                         public ProcessRunner,
                         public HostAppProcesses,
                         public MainBundle,
                         public ProcessControl,
                         public UpdaterFactory {
 public:
  static constexpr int kOwnPid = 100;

  void record(const std::string& event) {
    events.push_back(std::to_string(now) + (onBackground ? " [background] " : " ") + event);
  }

  // Runs every block due by `until`, then leaves the clock there.
  void advanceTo(long until) {
    while (!pending.empty() && pending.begin()->first.first <= until) {
      auto next = pending.extract(pending.begin());
      now = next.key().first;
      onBackground = next.mapped().first;
      next.mapped().second();
      onBackground = false;
    }
    now = until;
  }

  void log(std::string_view message) override { record("log " + std::string(message)); }

  Status runAndWait(const std::string& executable,
                    const std::vector<std::string>& arguments) override {
    std::string event = "run " + executable;
    for (const std::string& argument : arguments) event += " " + argument;
    record(event);
    if (pkillFails) return Error{"The file doesn’t exist."};
    return {};
  }

  std::vector<std::unique_ptr<HostAppProcess>> withBundleIdentifier(
      const std::string& bundleIdentifier) override {
    record("apps " + bundleIdentifier);
    std::vector<std::unique_ptr<HostAppProcess>> result;
    for (int pid : runningPids) result.push_back(std::make_unique<App>(*this, pid));
    return result;
  }

  std::optional<std::string> identifier() const override { return bundleIdentifier; }
  std::string path() const override { return bundlePath; }

  int processIdentifier() const override { return kOwnPid; }
  void exitNow(int status) override { record("exit " + std::to_string(status)); }
  void terminateApplication() override { record("terminate application"); }
  void replyToTerminate(bool terminate) override {
    record(std::string("reply terminate ") + (terminate ? "yes" : "no"));
  }

  std::unique_ptr<Updater> create(UpdaterDelegate&) override {
    record("create updater");
    return std::make_unique<FakeUpdater>(*this);
  }

  long now = 0;
  bool onBackground = false;
  std::vector<std::string> events;
  long queued = 0;
  std::map<std::pair<long, long>, std::pair<bool, Block>> pending;
  bool pkillFails = false;
  std::vector<int> runningPids;
  std::optional<std::string> bundleIdentifier;
  std::string bundlePath = "/Applications/veltoVpn.app";

 private:
  struct App final : HostAppProcess {
    App(FakeSystem& system, int pid) : system(system), pid(pid) {}
    int processIdentifier() const override { return pid; }
    void terminate() override { system.record("quit " + std::to_string(pid)); }
    FakeSystem& system;
    int pid;
  };
  struct FakeUpdater final : Updater {
    explicit FakeUpdater(FakeSystem& system) : system(system) {}
    void checkForUpdates() override { system.record("check"); }
    FakeSystem& system;
  };
};

class FakeQueue final : public MainQueue, public BackgroundQueue {
 public:
  FakeQueue(FakeSystem& system, bool background) : system_(system), background_(background) {}
  void post(Block block) override { postAfter(Delay::zero(), std::move(block)); }
  void postAfter(Delay delay, Block block) override {
    system_.pending.emplace(std::pair{system_.now + delay.count(), system_.queued++},
                            std::pair{background_, std::move(block)});
  }

 private:
  FakeSystem& system_;
  bool background_;
};

class SparkleCheckDelegateTest : public ::testing::Test {
 protected:
  FakeSystem system_;
  FakeQueue main_{system_, false};
  FakeQueue workers_{system_, true};
  UpdatePlatform platform_{main_, workers_, system_, system_, system_, system_, system_, system_};
  std::unique_ptr<SparkleCheckDelegate> delegate_;
};

// The timeline with the three pkill runs of a signal pass as one line (the
// patterns have a case of their own).
std::vector<std::string> onePerPass(const std::vector<std::string>& events) {
  std::vector<std::string> folded;
  for (const std::string& event : events) {
    std::string line = event.substr(0, event.find(" -f "));
    bool samePass = !folded.empty() && folded.back() == line && line != event;
    if (!samePass) folded.push_back(line);
  }
  return folded;
}

// Each case: the delegate's callbacks at the times given (ms), those at one time
// back to back in one turn of the event loop, then a minute of the fake clock.
TEST_F(SparkleCheckDelegateTest, UpdateCycles) {
  const std::map<std::string, std::function<void()>> steps = {
      {"launch", [&] { delegate_->applicationDidFinishLaunching(); }},
      {"will install", [&] { delegate_->willInstallUpdate("2.1.0"); }},
      {"install on quit",
       [&] {
         EXPECT_TRUE(delegate_->willInstallUpdateOnQuit(
             "2.1.0", [&] { system_.record("immediate installation"); }));
       }},
      {"abort", [&] { delegate_->didAbortWithError("download failed"); }},
      {"cycle ends", [&] { delegate_->didFinishUpdateCycle(std::nullopt); }},
      {"cycle fails", [&] { delegate_->didFinishUpdateCycle("download failed"); }},
      {"quit",
       [&] {
         bool now = delegate_->applicationShouldTerminate() == TerminateReply::kNow;
         system_.record(now ? "quit now" : "quit later");
       }},
      {"delegate gone", [&] { delegate_.reset(); }},
  };
  const std::string willInstall =
      "log [launcher] Sparkle will install update 2.1.0; terminating host app processes";
  const std::string installOnQuit =
      "log [launcher] Sparkle install requested; terminating host app processes";
  const std::string immediate = "log [launcher] Starting Sparkle immediate installation";
  const std::string deferred =
      "log [launcher] Quit deferred until the host app processes have been signalled";
  const std::string cycleEnd =
      "log [launcher] Sparkle update cycle finished error=none installStarted=false";
  const std::string apps = " apps " VELTOVPN_BUNDLE_ID;  // the bundle names no identifier
  const std::string term = " [background] run /usr/bin/pkill -TERM";
  const std::string kill = " [background] run /usr/bin/pkill -KILL";
  struct Case {
    std::vector<std::pair<long, std::string>> steps;
    std::vector<std::string> expected;
  } cases[] = {
      {{{0, "launch"}}, {"0 create updater", "0 check"}},
      // A check still queued when the delegate goes is skipped.
      {{{0, "launch"}, {0, "delegate gone"}}, {"0 create updater"}},
      {{{0, "cycle ends"}}, {"0 " + cycleEnd, "500 terminate application"}},
      {{{0, "abort"}, {0, "cycle fails"}},
       {"0 log [launcher] Sparkle update aborted: download failed",
        "0 log [launcher] Sparkle update cycle finished error=download failed "
        "installStarted=false",
        "500 exit 71"}},
      {{{0, "quit"}}, {"0 quit now"}},
      // An installation keeps the process alive after the cycle; a quit waits
      // for the last signal pass, a later one goes at once.
      {{{0, "will install"}, {100, "cycle ends"}, {200, "quit"}, {2000, "quit"}},
       {"0 " + willInstall, "0" + apps,
        "100 log [launcher] Sparkle update cycle finished error=none installStarted=true",
        "200 " + deferred, "200 quit later", "750" + term, "1750" + kill,
        "1750 reply terminate yes", "2000 quit now"}},
      // Installing on quit is no installation of the delegate's: a cycle that
      // ends before it still ends the process, the installation left behind.
      {{{0, "install on quit"}, {1000, "cycle ends"}},
       {"0 " + installOnQuit, "0" + apps, "750" + term, "1000 " + cycleEnd,
        "1500 terminate application", "1750" + kill, "2500 " + immediate,
        "2500 immediate installation"}},
      // Each installation step's passes hold a quit back.
      {{{0, "will install"}, {500, "install on quit"}, {600, "quit"}},
       {"0 " + willInstall, "0" + apps, "500 " + installOnQuit, "500" + apps, "600 " + deferred,
        "600 quit later", "750" + term, "1250" + term, "1750" + kill, "2250" + kill,
        "2250 reply terminate yes", "3000 " + immediate, "3000 immediate installation"}},
  };
  for (const Case& c : cases) {
    system_.events.clear();
    system_.now = 0;
    delegate_ = std::make_unique<SparkleCheckDelegate>(platform_);
    for (const auto& [at, step] : c.steps) {
      if (at > system_.now) system_.advanceTo(at);
      steps.at(step)();
    }
    system_.advanceTo(60'000);
    EXPECT_THAT(onePerPass(system_.events), ElementsAreArray(c.expected)) << "case " << &c - cases;
  }
  // Closing the updater's last dialog leaves the process to the cycle.
  EXPECT_FALSE(delegate_->applicationShouldTerminateAfterLastWindowClosed());
}

// Quit requests go to the bundle identifier's other processes, signal passes to
// the bundle's programs by their escaped paths; a pkill that cannot start is
// logged and the others go on.
TEST_F(SparkleCheckDelegateTest, HostProcessesAreStoppedByIdentifierAndPath) {
  system_.runningPids = {200, FakeSystem::kOwnPid, 300};
  system_.bundleIdentifier = "com.example.renamed";
  system_.bundlePath = "/Applications/Velto (2).app";
  system_.pkillFails = true;
  delegate_ = std::make_unique<SparkleCheckDelegate>(platform_);
  delegate_->terminateHostAppProcesses();
  system_.advanceTo(60'000);
  std::vector<std::string> expected = {"0 apps com.example.renamed", "0 quit 200", "0 quit 300"};
  for (auto [at, signal] : {std::pair{"750", "-TERM"}, std::pair{"1750", "-KILL"}}) {
    for (const char* program :
         {"veltoVpn-bin", "extensions/veltoExtension/bin/index-darwin", "veltovpn-menubar"}) {
      std::string pattern =
          std::string("^/Applications/Velto \\(2\\)\\.app/Contents/MacOS/") + program + "( |$)";
      std::string prefix = std::string(at) + " [background] ";
      expected.push_back(prefix + "run /usr/bin/pkill " + signal + " -f " + pattern);
      expected.push_back(prefix + "log [launcher] pkill failed for " + pattern +
                         ": The file doesn’t exist.");
    }
  }
  EXPECT_EQ(system_.events, expected);
}

// The slot destroys the delegate it held before (the leak checker of the
// sanitizer run catches the fault); the last one stays for the process.
TEST_F(SparkleCheckDelegateTest, AppSlotKeepsTheLatestDelegate) {
  for (int i = 0; i < 2; ++i) {
    SparkleCheckDelegate& kept =
        SparkleCheckApp::retain(std::make_unique<SparkleCheckDelegate>(platform_));
    EXPECT_EQ(SparkleCheckApp::retainedDelegate, &kept);
  }
}

}  // namespace
}  // namespace velto::launcher
