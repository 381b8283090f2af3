// Update mode on Linux, where no update framework exists: a plain event loop on
// the main thread, the system log on standard error, no registered applications,
// and an updater that ends every cycle at once with an error. Main thread, except
// where the services say otherwise.
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>

#include "launcher/event_loop.h"
#include "launcher/host_processes.h"
#include "launcher/system_services.h"
#include "launcher/update_platform.h"

namespace velto::launcher {

namespace {

std::string ownExecutablePath() {
  char buffer[PATH_MAX];
  if (::realpath("/proc/self/exe", buffer) == nullptr) return "/";
  return buffer;
}

class NoRunningApplications final : public RunningApplications {
 public:
  std::vector<std::unique_ptr<RunningApplication>> withBundleIdentifier(
      const std::string&) override {
    return {};
  }
};

class ExecutableBundle final : public MainBundle {
 public:
  explicit ExecutableBundle(std::string path) : path_(std::move(path)) {}
  // Linux has no bundle registry, so the build-time identifier applies.
  std::optional<std::string> identifier() const override { return std::nullopt; }
  std::string path() const override { return path_; }

 private:
  const std::string path_;
};

class UnsupportedUpdater final : public Updater {
 public:
  explicit UnsupportedUpdater(UpdaterDelegate& delegate) : delegate_(delegate) {}
  void checkForUpdates() override {
    delegate_.didFinishUpdateCycle("updates are not supported on this platform");
  }

 private:
  UpdaterDelegate& delegate_;
};

class UnsupportedUpdaterFactory final : public UpdaterFactory {
 public:
  std::unique_ptr<Updater> create(UpdaterDelegate& delegate) override {
    return std::make_unique<UnsupportedUpdater>(delegate);
  }
};

class LoopApplication final : public Application {
 public:
  explicit LoopApplication(EventLoop& loop) : loop_(loop) {}
  // No windows exist, so only the launch callback is ever sent.
  void run(ApplicationDelegate& delegate) override {
    delegate_ = &delegate;
    loop_.post([&delegate] { delegate.applicationDidFinishLaunching(); });
    loop_.run();
  }
  // Ends the event loop unless the delegate puts the termination off; the
  // launcher's main() then returns 0.
  void terminate() {
    if (!delegate_ || delegate_->applicationShouldTerminate() == TerminateReply::kNow) loop_.stop();
  }
  void replyToTerminate(bool terminate) {
    if (terminate) loop_.stop();
  }

 private:
  EventLoop& loop_;
  ApplicationDelegate* delegate_ = nullptr;
};

class LoopProcessControl final : public ProcessControl {
 public:
  explicit LoopProcessControl(LoopApplication& application) : application_(application) {}
  int processIdentifier() const override { return ::getpid(); }
  void exitNow(int status) override { std::exit(status); }
  void terminateApplication() override { application_.terminate(); }
  void replyToTerminate(bool terminate) override { application_.replyToTerminate(terminate); }

 private:
  LoopApplication& application_;
};

class LinuxUpdateEnvironment final : public UpdateEnvironment {
 public:
  LinuxUpdateEnvironment()
      : executable_(ownExecutablePath()),
        systemLog_(executable_.substr(executable_.rfind('/') + 1)),
        mainBundle_(bundlePathForExecutable(executable_)),
        application_(loop_),
        processControl_(application_) {}

  UpdatePlatform services() override {
    return {loop_,         backgroundQueue_, systemLog_,      processRunner_,
            applications_, mainBundle_,      processControl_, updaterFactory_};
  }
  Application& application() override { return application_; }

 private:
  const std::string executable_;
  EventLoop loop_;
  ThreadBackgroundQueue backgroundQueue_;
  StderrSystemLog systemLog_;
  SpawnProcessRunner processRunner_;
  NoRunningApplications applications_;
  ExecutableBundle mainBundle_;
  LoopApplication application_;
  LoopProcessControl processControl_;
  UnsupportedUpdaterFactory updaterFactory_;
};

}  // namespace

std::unique_ptr<UpdateEnvironment> makeUpdateEnvironment() {
  return std::make_unique<LinuxUpdateEnvironment>();
}

}  // namespace velto::launcher
