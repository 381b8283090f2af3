// The update-mode delegate. Main thread, except the signal passes, which run on
// background workers and use only the process runner and the system log.
#include "launcher/sparkle_check_delegate.h"

#include <utility>
#include <vector>

#include "build_config.h"
#include "launcher/host_processes.h"

namespace velto::launcher {

namespace {

void runPkillWith(ProcessRunner& runner, SystemLog& systemLog, std::string_view signal,
                  std::string_view pattern) {
  Status ran = runner.runAndWait(kPkillPath, {std::string(signal), "-f", std::string(pattern)});
  if (!ran) {
    systemLog.log("[launcher] pkill failed for " + std::string(pattern) + ": " +
                  ran.error().message());
  }
}

}  // namespace

std::string updateCycleFinishedMessage(const std::optional<std::string>& error,
                                       bool installStarted) {
  return "[launcher] Sparkle update cycle finished error=" + error.value_or("none") +
         " installStarted=" + (installStarted ? "true" : "false");
}

SparkleCheckDelegate* SparkleCheckApp::retainedDelegate = nullptr;

SparkleCheckDelegate& SparkleCheckApp::retain(std::unique_ptr<SparkleCheckDelegate> delegate) {
  delete std::exchange(retainedDelegate, delegate.release());
  return *retainedDelegate;
}

SparkleCheckDelegate::SparkleCheckDelegate(const UpdatePlatform& platform)
    : platform_(platform), self_(this) {}

void SparkleCheckDelegate::log(std::string_view message) { platform_.systemLog.log(message); }

void SparkleCheckDelegate::applicationDidFinishLaunching() {
  updaterController_ = platform_.updaterFactory.create(*this);
  // The check starts from the event loop, once launching has completed.
  platform_.mainQueue.post(self_.guard([](SparkleCheckDelegate& self) {
    if (self.updaterController_) self.updaterController_->checkForUpdates();
  }));
}

bool SparkleCheckDelegate::applicationShouldTerminateAfterLastWindowClosed() {
  // Closing the updater's last dialog must not end the process before the cycle does.
  return false;
}

TerminateReply SparkleCheckDelegate::applicationShouldTerminate() {
  if (signalPassesPending_ == 0) return TerminateReply::kNow;
  terminationDeferred_ = true;
  log("[launcher] Quit deferred until the host app processes have been signalled");
  return TerminateReply::kLater;
}

void SparkleCheckDelegate::signalPassFinished() {
  if (--signalPassesPending_ > 0 || !terminationDeferred_) return;
  terminationDeferred_ = false;
  platform_.processControl.replyToTerminate(true);
}

void SparkleCheckDelegate::didFindValidUpdate(std::string_view displayVersion) {
  log("[launcher] Sparkle found update " + std::string(displayVersion));
}

void SparkleCheckDelegate::willDownloadUpdate(std::string_view displayVersion) {
  log("[launcher] Sparkle will download update " + std::string(displayVersion));
}

void SparkleCheckDelegate::didDownloadUpdate(std::string_view displayVersion) {
  log("[launcher] Sparkle did download update " + std::string(displayVersion));
}

void SparkleCheckDelegate::willInstallUpdate(std::string_view displayVersion) {
  installStarted_ = true;
  log("[launcher] Sparkle will install update " + std::string(displayVersion) +
      "; terminating host app processes");
  terminateHostAppProcesses();
}

void SparkleCheckDelegate::willRelaunchApplication() {
  log("[launcher] Sparkle will relaunch application");
}

bool SparkleCheckDelegate::willInstallUpdateOnQuit(std::string_view /*displayVersion*/,
                                                   Block immediateInstallation) {
  log("[launcher] Sparkle install requested; terminating host app processes");
  terminateHostAppProcesses();
  // Give the host processes time to go before the installer replaces their files.
  platform_.mainQueue.postAfter(
      kImmediateInstallationDelay,
      [&systemLog = platform_.systemLog, install = std::move(immediateInstallation)] {
        systemLog.log("[launcher] Starting Sparkle immediate installation");
        install();
      });
  return true;
}

void SparkleCheckDelegate::didAbortWithError(std::string_view error) {
  log("[launcher] Sparkle update aborted: " + std::string(error));
}

void SparkleCheckDelegate::didFinishUpdateCycle(const std::optional<std::string>& error) {
  log(updateCycleFinishedMessage(error, installStarted_));
  // An installation in progress ends the process itself (possibly relaunching).
  if (installStarted_) return;
  platform_.mainQueue.postAfter(
      kEndOfCycleDelay, [&processControl = platform_.processControl, failed = error.has_value()] {
        if (failed) {
          processControl.exitNow(kExitUpdateFailed);
        } else {
          processControl.terminateApplication();
        }
      });
}

void SparkleCheckDelegate::terminateHostAppProcesses() {
  const int ownPid = platform_.processControl.processIdentifier();
  const std::string bundleIdentifier =
      platform_.mainBundle.identifier().value_or(VELTOVPN_BUNDLE_ID);
  for (auto& application : platform_.hostAppProcesses.withBundleIdentifier(bundleIdentifier)) {
    if (application->processIdentifier() != ownPid) application->terminate();
  }

  std::vector<std::string> patterns;
  for (const std::string& path : hostProcessPaths(platform_.mainBundle.path())) {
    patterns.push_back(hostProcessPattern(path));
  }
  // Applications that ignore the quit request are signalled by path; the two
  // passes are independent, a slow first pass does not delay the second. Each
  // reports its end on the main thread, where a put-off termination waits for it.
  for (auto [delay, signal] :
       {std::pair{kPoliteSignalDelay, "-TERM"}, std::pair{kKillDelay, "-KILL"}}) {
    ++signalPassesPending_;
    platform_.backgroundQueue.postAfter(
        delay,
        [&runner = platform_.processRunner, &systemLog = platform_.systemLog,
         &mainQueue = platform_.mainQueue,
         finished = self_.guard([](SparkleCheckDelegate& self) { self.signalPassFinished(); }),
         patterns, signal = std::string(signal)] {
          for (const std::string& pattern : patterns) {
            runPkillWith(runner, systemLog, signal, pattern);
          }
          mainQueue.post(finished);
        });
  }
}

void SparkleCheckDelegate::runPkill(std::string_view signal, std::string_view pattern) {
  runPkillWith(platform_.processRunner, platform_.systemLog, signal, pattern);
}

}  // namespace velto::launcher
