// The platform services update mode runs against: event loop and queues, system
// log, process runner, the host application's running processes, the main
// bundle, the updater framework. Portable logic (SparkleCheckDelegate) receives
// references to them and never creates one. Each interface says which thread
// calls it; none of them carries a platform type, so a macOS file can wrap
// AppKit, Dispatch and Sparkle behind them and tests can record what was asked.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace velto::launcher {

using Block = std::function<void()>;
using Delay = std::chrono::milliseconds;

// The main thread's queue (the application's event loop). Blocks run one at a
// time on the main thread, in order of their deadlines, blocks with the same
// deadline in the order they were queued. Any thread may queue.
class MainQueue {
 public:
  virtual ~MainQueue() = default;
  virtual void post(Block block) = 0;
  virtual void postAfter(Delay delay, Block block) = 0;
};

// A concurrent queue of worker threads: a block runs on some worker once its
// deadline has come, beside any other block that is running. Any thread may queue.
class BackgroundQueue {
 public:
  virtual ~BackgroundQueue() = default;
  virtual void postAfter(Delay delay, Block block) = 0;
};

// The system log. The message is logged verbatim (never used as a format).
// Any thread.
class SystemLog {
 public:
  virtual ~SystemLog() = default;
  virtual void log(std::string_view message) = 0;
};

// Runs a program and waits for it to exit; its exit status is not reported.
// Fails when the program could not be started; the Error's message() is the
// platform's description. Called on background workers; must be safe to call
// from several at once.
class ProcessRunner {
 public:
  virtual ~ProcessRunner() = default;
  [[nodiscard]] virtual Status runAndWait(const std::string& executable,
                                          const std::vector<std::string>& arguments) = 0;
};

// One running process of the host application (the bundle the launcher updates),
// as the platform registers it. Main thread only.
class HostAppProcess {
 public:
  virtual ~HostAppProcess() = default;
  virtual int processIdentifier() const = 0;
  // A polite quit request; returns at once and reports nothing.
  virtual void terminate() = 0;
};

// The host application processes currently registered under a bundle identifier,
// in the order the platform gives them. Main thread only.
class HostAppProcesses {
 public:
  virtual ~HostAppProcesses() = default;
  virtual std::vector<std::unique_ptr<HostAppProcess>> withBundleIdentifier(
      const std::string& bundleIdentifier) = 0;
};

// The bundle the launcher runs from. Main thread only.
class MainBundle {
 public:
  virtual ~MainBundle() = default;
  // nullopt when the bundle has none.
  virtual std::optional<std::string> identifier() const = 0;
  // Absolute, without a trailing slash.
  virtual std::string path() const = 0;
};

// The launcher's own process. Main thread only.
class ProcessControl {
 public:
  virtual ~ProcessControl() = default;
  virtual int processIdentifier() const = 0;
  // Ends the process with `status` at once, skipping the application's
  // termination sequence.
  virtual void exitNow(int status) = 0;
  // The application's normal termination; the process ends with status 0. The
  // application delegate is asked first (applicationShouldTerminate).
  virtual void terminateApplication() = 0;
  // The answer to a termination the delegate put off (TerminateReply::kLater):
  // true ends the process as terminateApplication() would, false keeps it running.
  virtual void replyToTerminate(bool terminate) = 0;
};

// Callbacks of the updater framework. The platform calls them on the main thread.
class UpdaterDelegate {
 public:
  virtual ~UpdaterDelegate() = default;
  virtual void didFindValidUpdate(std::string_view displayVersion) = 0;
  virtual void willDownloadUpdate(std::string_view displayVersion) = 0;
  virtual void didDownloadUpdate(std::string_view displayVersion) = 0;
  virtual void willInstallUpdate(std::string_view displayVersion) = 0;
  virtual void willRelaunchApplication() = 0;
  // `immediateInstallation` makes the framework install at once; to be called at
  // most once, on the main thread. Returning true takes charge of calling it.
  virtual bool willInstallUpdateOnQuit(std::string_view displayVersion,
                                       Block immediateInstallation) = 0;
  // `error` is the error's localized description.
  virtual void didAbortWithError(std::string_view error) = 0;
  // `error` is the localized description of the error that ended the cycle, if any.
  virtual void didFinishUpdateCycle(const std::optional<std::string>& error) = 0;
};

// The updater with its standard user interface, started when created.
// Main thread only.
class Updater {
 public:
  virtual ~Updater() = default;
  // A user-initiated check: the framework shows its progress and result dialogs
  // and reports through the delegate.
  virtual void checkForUpdates() = 0;
};

class UpdaterFactory {
 public:
  virtual ~UpdaterFactory() = default;
  // REQUIRES: `delegate` outlives the returned updater. Main thread only.
  virtual std::unique_ptr<Updater> create(UpdaterDelegate& delegate) = 0;
};

enum class TerminateReply { kNow, kLater };

// Callbacks of the application object. Main thread.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual void applicationDidFinishLaunching() = 0;
  virtual bool applicationShouldTerminateAfterLastWindowClosed() = 0;
  // Asked before every normal termination, whoever requested it. kLater keeps
  // the process running until the delegate calls ProcessControl::replyToTerminate.
  virtual TerminateReply applicationShouldTerminate() = 0;
};

// The application object of update mode: its event loop.
class UpdateEventLoop {
 public:
  virtual ~UpdateEventLoop() = default;
  // Makes the process a regular application, installs `delegate`, brings the
  // application to the front and runs the event loop on the calling (main) thread
  // until it ends. REQUIRES: `delegate` outlives the loop.
  virtual void run(ApplicationDelegate& delegate) = 0;
};

// References to the services the update delegate uses; they must outlive it and
// every block it queues.
struct UpdatePlatform {
  MainQueue& mainQueue;
  BackgroundQueue& backgroundQueue;
  SystemLog& systemLog;
  ProcessRunner& processRunner;
  HostAppProcesses& hostAppProcesses;
  MainBundle& mainBundle;
  ProcessControl& processControl;
  UpdaterFactory& updaterFactory;
};

// Owns one platform's services for update mode. Created only when the launcher
// enters update mode, so hand-off mode never brings them up.
class UpdateEnvironment {
 public:
  virtual ~UpdateEnvironment() = default;
  virtual UpdatePlatform services() = 0;
  virtual UpdateEventLoop& eventLoop() = 0;
};

// Defined in update_environment_mac.mm; Linux has no updater and no update
// environment (update_mode_linux.cc). Main thread.
std::unique_ptr<UpdateEnvironment> makeUpdateEnvironment();

}  // namespace velto::launcher
