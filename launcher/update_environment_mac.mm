// Update mode on macOS: NSApplication's event loop, the main and global dispatch
// queues, the system log through NSLog, NSTask, NSRunningApplication, the main
// bundle, and Sparkle as the updater. Main thread, except where the services say
// otherwise (the background queue, the process runner, the system log).
#include "launcher/update_platform.h"

#import <AppKit/AppKit.h>

#include <unistd.h>

#include <cstdlib>
#include <utility>

#include "common/strings_mac.h"
#include "launcher/sparkle_updater_mac.h"

// The application's delegate: hands AppKit's two callbacks to the portable one.
@interface VeltoApplicationDelegate : NSObject <NSApplicationDelegate>
- (instancetype)initWithDelegate:(velto::launcher::ApplicationDelegate*)delegate;
@end

@implementation VeltoApplicationDelegate {
  velto::launcher::ApplicationDelegate* _delegate;
}

- (instancetype)initWithDelegate:(velto::launcher::ApplicationDelegate*)delegate {
  if ((self = [super init])) _delegate = delegate;
  return self;
}

- (void)applicationDidFinishLaunching:(NSNotification*)notification {
  (void)notification;
  _delegate->applicationDidFinishLaunching();
}

- (BOOL)applicationShouldTerminateAfterLastWindowClosed:(NSApplication*)sender {
  (void)sender;
  return _delegate->applicationShouldTerminateAfterLastWindowClosed() ? YES : NO;
}

// Every quit request passes here: -[NSApplication terminate:] from the launcher
// itself, and the quit Apple event that an installer sends to each running copy
// of the bundle. NSTerminateLater keeps the event loop running (in the modal
// panel mode, where the main queue is still served) until the reply.
- (NSApplicationTerminateReply)applicationShouldTerminate:(NSApplication*)sender {
  (void)sender;
  return _delegate->applicationShouldTerminate() == velto::launcher::TerminateReply::kLater
             ? NSTerminateLater
             : NSTerminateNow;
}

@end

namespace velto::launcher {

namespace {

dispatch_time_t after(Delay delay) {
  return dispatch_time(DISPATCH_TIME_NOW,
                       std::chrono::duration_cast<std::chrono::nanoseconds>(delay).count());
}

// A dispatch block that runs `block` once; the function lives until then.
dispatch_block_t toDispatch(Block block) {
  auto task = std::make_shared<Block>(std::move(block));
  return ^{
    (*task)();
  };
}

class DispatchMainQueue final : public MainQueue {
 public:
  void post(Block block) override {
    dispatch_async(dispatch_get_main_queue(), toDispatch(std::move(block)));
  }
  void postAfter(Delay delay, Block block) override {
    dispatch_after(after(delay), dispatch_get_main_queue(), toDispatch(std::move(block)));
  }
};

class DispatchBackgroundQueue final : public BackgroundQueue {
 public:
  void postAfter(Delay delay, Block block) override {
    dispatch_after(after(delay), dispatch_get_global_queue(QOS_CLASS_DEFAULT, 0),
                   toDispatch(std::move(block)));
  }
};

class NSLogSystemLog final : public SystemLog {
 public:
  void log(std::string_view message) override {
    @autoreleasepool {
      NSLog(@"%@", toNSString(message));  // the text is data, never a format
    }
  }
};

class TaskProcessRunner final : public ProcessRunner {
 public:
  Status runAndWait(const std::string& executable,
                    const std::vector<std::string>& arguments) override {
    @autoreleasepool {
      NSMutableArray<NSString*>* taskArguments = [NSMutableArray array];
      for (const std::string& argument : arguments) [taskArguments addObject:toNSString(argument)];
      NSTask* task = [[NSTask alloc] init];
      task.executableURL = [NSURL fileURLWithPath:toNSString(executable)];
      task.arguments = taskArguments;
      NSError* error = nil;
      if (![task launchAndReturnError:&error]) {
        return Error{
            fromNSString(error != nil ? error.localizedDescription : @"could not be started")};
      }
      [task waitUntilExit];
      return {};
    }
  }
};

class MacHostAppProcess final : public HostAppProcess {
 public:
  explicit MacHostAppProcess(NSRunningApplication* application) : application_(application) {}
  int processIdentifier() const override { return application_.processIdentifier; }
  void terminate() override { [application_ terminate]; }

 private:
  NSRunningApplication* application_;
};

class MacHostAppProcesses final : public HostAppProcesses {
 public:
  std::vector<std::unique_ptr<HostAppProcess>> withBundleIdentifier(
      const std::string& bundleIdentifier) override {
    std::vector<std::unique_ptr<HostAppProcess>> found;
    for (NSRunningApplication* application in [NSRunningApplication
             runningApplicationsWithBundleIdentifier:toNSString(bundleIdentifier)]) {
      found.push_back(std::make_unique<MacHostAppProcess>(application));
    }
    return found;
  }
};

class MacMainBundle final : public MainBundle {
 public:
  std::optional<std::string> identifier() const override {
    NSString* identifier = NSBundle.mainBundle.bundleIdentifier;
    if (identifier == nil) return std::nullopt;
    return fromNSString(identifier);
  }
  std::string path() const override { return fromNSString(NSBundle.mainBundle.bundlePath); }
};

class MacProcessControl final : public ProcessControl {
 public:
  int processIdentifier() const override { return ::getpid(); }
  void exitNow(int status) override { std::exit(status); }
  void terminateApplication() override { [NSApp terminate:nil]; }
  void replyToTerminate(bool terminate) override {
    [NSApp replyToApplicationShouldTerminate:terminate ? YES : NO];
  }
};

class MacUpdateEventLoop final : public UpdateEventLoop {
 public:
  void run(ApplicationDelegate& delegate) override {
    NSApplication* application = [NSApplication sharedApplication];
    [application setActivationPolicy:NSApplicationActivationPolicyRegular];
    // NSApplication holds its delegate weakly; this object keeps it for the run.
    appDelegate_ = [[VeltoApplicationDelegate alloc] initWithDelegate:&delegate];
    application.delegate = appDelegate_;
    [application activateIgnoringOtherApps:YES];
    [application run];
  }

 private:
  VeltoApplicationDelegate* appDelegate_ = nil;
};

class MacUpdateEnvironment final : public UpdateEnvironment {
 public:
  MacUpdateEnvironment() : updaterFactory_(makeSparkleUpdaterFactory()) {}

  UpdatePlatform services() override {
    return {mainQueue_,        backgroundQueue_, systemLog_,      processRunner_,
            hostAppProcesses_, mainBundle_,      processControl_, *updaterFactory_};
  }
  UpdateEventLoop& eventLoop() override { return eventLoop_; }

 private:
  DispatchMainQueue mainQueue_;
  DispatchBackgroundQueue backgroundQueue_;
  NSLogSystemLog systemLog_;
  TaskProcessRunner processRunner_;
  MacHostAppProcesses hostAppProcesses_;
  MacMainBundle mainBundle_;
  MacProcessControl processControl_;
  std::unique_ptr<UpdaterFactory> updaterFactory_;
  MacUpdateEventLoop eventLoop_;
};

}  // namespace

std::unique_ptr<UpdateEnvironment> makeUpdateEnvironment() {
  return std::make_unique<MacUpdateEnvironment>();
}

}  // namespace velto::launcher
