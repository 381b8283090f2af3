// The update-mode delegate: drives one update check, logs every step of the update
// cycle, stops the bundle's other processes before an installation and ends the
// process when a cycle without installation is over. It is both the application's
// and the updater's delegate. All its methods run on the main thread, so its
// fields need no lock; the two signal passes run on the background queue and
// touch no field.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/weak_self.h"
#include "launcher/update_platform.h"

namespace velto::launcher {

inline constexpr Delay kPoliteSignalDelay{750};
inline constexpr Delay kKillDelay{1750};
inline constexpr Delay kImmediateInstallationDelay{2500};
inline constexpr Delay kEndOfCycleDelay{500};
inline constexpr int kExitUpdateFailed = 71;
inline constexpr const char* kPkillPath = "/usr/bin/pkill";

// The line that ends every update cycle; where no updater exists, the whole of
// update mode.
std::string updateCycleFinishedMessage(const std::optional<std::string>& error,
                                       bool installStarted);

class SparkleCheckDelegate final : public ApplicationDelegate, public UpdaterDelegate {
 public:
  // REQUIRES: the services behind `platform` outlive this object and every block
  // it queues.
  explicit SparkleCheckDelegate(const UpdatePlatform& platform);
  SparkleCheckDelegate(const SparkleCheckDelegate&) = delete;
  SparkleCheckDelegate& operator=(const SparkleCheckDelegate&) = delete;

  // ApplicationDelegate
  void applicationDidFinishLaunching() override;
  bool applicationShouldTerminateAfterLastWindowClosed() override;
  // While signal passes are still to run, the installer's quit request (which
  // reaches the launcher too) is put off until the last pass has finished, so a
  // main application that ignored its own quit request is still stopped.
  TerminateReply applicationShouldTerminate() override;

  // UpdaterDelegate
  void didFindValidUpdate(std::string_view displayVersion) override;
  void willDownloadUpdate(std::string_view displayVersion) override;
  void didDownloadUpdate(std::string_view displayVersion) override;
  void willInstallUpdate(std::string_view displayVersion) override;
  void willRelaunchApplication() override;
  bool willInstallUpdateOnQuit(std::string_view displayVersion,
                               Block immediateInstallation) override;
  void didAbortWithError(std::string_view error) override;
  void didFinishUpdateCycle(const std::optional<std::string>& error) override;

  // Asks every other running application with the bundle identifier to quit, then
  // sends SIGTERM (after 0.75 s) and SIGKILL (after 1.75 s) to the bundle's host
  // processes from the background queue. Returns at once.
  void terminateHostAppProcesses();

  // Runs `pkill <signal> -f <pattern>` and waits for it; logs when it cannot start.
  void runPkill(std::string_view signal, std::string_view pattern);

  bool installStarted() const { return installStarted_; }

 private:
  void log(std::string_view message);
  // Main thread, after each signal pass.
  void signalPassFinished();

  UpdatePlatform platform_;
  std::unique_ptr<Updater> updaterController_;
  bool installStarted_ = false;
  // Signal passes queued and not yet finished, and whether a termination waits
  // for them.
  int signalPassesPending_ = 0;
  bool terminationDeferred_ = false;
  // Blocks queued on the main queue hold this weakly and do nothing once the
  // delegate is gone.
  WeakSelf<SparkleCheckDelegate> self_;
};

// The process-wide owner of the update-mode delegate. The delegate is never
// destroyed: the process may end from inside one of its own callbacks, and
// nothing must run its destructor then.
struct SparkleCheckApp {
  static SparkleCheckDelegate* retainedDelegate;
  // Stores `delegate`, destroying whatever the slot held before. Main thread.
  static SparkleCheckDelegate& retain(std::unique_ptr<SparkleCheckDelegate> delegate);
};

}  // namespace velto::launcher
