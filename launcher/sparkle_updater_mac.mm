// Sparkle behind the launcher's Updater: an SPUStandardUpdaterController (started
// at once, with Sparkle's standard dialogs) whose delegate forwards every callback
// the launcher acts on to the portable UpdaterDelegate. Main thread: Sparkle calls
// its delegate there.
#include "launcher/sparkle_updater_mac.h"

#import <Foundation/Foundation.h>
#import <Sparkle/Sparkle.h>

#include <optional>
#include <string>

#include "common/strings_mac.h"

NS_ASSUME_NONNULL_BEGIN

// Every method of Sparkle's delegate protocol is optional, so a misspelt selector
// would compile and never be called. This protocol names the ones the launcher
// relies on as required: with -Werror=protocol a missing or misspelt one fails
// the build.
@protocol VeltoUpdaterDelegate <SPUUpdaterDelegate>
@required
- (void)updater:(SPUUpdater*)updater didFindValidUpdate:(SUAppcastItem*)item;
- (void)updater:(SPUUpdater*)updater
    willDownloadUpdate:(SUAppcastItem*)item
           withRequest:(NSMutableURLRequest*)request;
- (void)updater:(SPUUpdater*)updater didDownloadUpdate:(SUAppcastItem*)item;
- (void)updater:(SPUUpdater*)updater willInstallUpdate:(SUAppcastItem*)item;
- (void)updaterWillRelaunchApplication:(SPUUpdater*)updater;
- (BOOL)updater:(SPUUpdater*)updater
       willInstallUpdateOnQuit:(SUAppcastItem*)item
    immediateInstallationBlock:(void (^)(void))immediateInstallHandler;
- (void)updater:(SPUUpdater*)updater didAbortWithError:(NSError*)error;
- (void)updater:(SPUUpdater*)updater
    didFinishUpdateCycleForUpdateCheck:(SPUUpdateCheck)updateCheck
                                 error:(nullable NSError*)error;
@end

// Forwards Sparkle's callbacks to the UpdaterDelegate it was made with. The
// SPUUpdater argument is not needed: there is one updater per process.
@interface VeltoSparkleDelegate : NSObject <VeltoUpdaterDelegate>
- (instancetype)initWithDelegate:(velto::launcher::UpdaterDelegate*)delegate;
@end

NS_ASSUME_NONNULL_END

@implementation VeltoSparkleDelegate {
  velto::launcher::UpdaterDelegate* _delegate;
}

- (instancetype)initWithDelegate:(velto::launcher::UpdaterDelegate*)delegate {
  if ((self = [super init])) _delegate = delegate;
  return self;
}

- (void)updater:(SPUUpdater*)updater didFindValidUpdate:(SUAppcastItem*)item {
  (void)updater;
  _delegate->didFindValidUpdate(velto::fromNSString(item.displayVersionString));
}

- (void)updater:(SPUUpdater*)updater
    willDownloadUpdate:(SUAppcastItem*)item
           withRequest:(NSMutableURLRequest*)request {
  (void)updater;
  (void)request;  // sent as Sparkle made it
  _delegate->willDownloadUpdate(velto::fromNSString(item.displayVersionString));
}

- (void)updater:(SPUUpdater*)updater didDownloadUpdate:(SUAppcastItem*)item {
  (void)updater;
  _delegate->didDownloadUpdate(velto::fromNSString(item.displayVersionString));
}

- (void)updater:(SPUUpdater*)updater willInstallUpdate:(SUAppcastItem*)item {
  (void)updater;
  _delegate->willInstallUpdate(velto::fromNSString(item.displayVersionString));
}

- (void)updaterWillRelaunchApplication:(SPUUpdater*)updater {
  (void)updater;
  _delegate->willRelaunchApplication();
}

- (BOOL)updater:(SPUUpdater*)updater
       willInstallUpdateOnQuit:(SUAppcastItem*)item
    immediateInstallationBlock:(void (^)(void))immediateInstallHandler {
  (void)updater;
  // The function holds a strong reference to Sparkle's block until it has run
  // (or is dropped unrun).
  void (^install)(void) = [immediateInstallHandler copy];
  const bool takeCharge = _delegate->willInstallUpdateOnQuit(
      velto::fromNSString(item.displayVersionString), [install] { install(); });
  return takeCharge ? YES : NO;
}

- (void)updater:(SPUUpdater*)updater didAbortWithError:(NSError*)error {
  (void)updater;
  _delegate->didAbortWithError(velto::fromNSString(error.localizedDescription));
}

- (void)updater:(SPUUpdater*)updater
    didFinishUpdateCycleForUpdateCheck:(SPUUpdateCheck)updateCheck
                                 error:(nullable NSError*)error {
  (void)updater;
  (void)updateCheck;  // user-initiated or not, the cycle ends the same way
  std::optional<std::string> description;
  if (error != nil) description = velto::fromNSString(error.localizedDescription);
  _delegate->didFinishUpdateCycle(description);
}

@end

namespace velto::launcher {

namespace {

class SparkleUpdater final : public Updater {
 public:
  explicit SparkleUpdater(UpdaterDelegate& delegate)
      : forwarder_([[VeltoSparkleDelegate alloc] initWithDelegate:&delegate]),
        // The controller holds its delegate weakly; forwarder_ keeps it alive.
        controller_([[SPUStandardUpdaterController alloc] initWithStartingUpdater:YES
                                                                  updaterDelegate:forwarder_
                                                               userDriverDelegate:nil]) {}

  void checkForUpdates() override { [controller_ checkForUpdates:nil]; }

 private:
  VeltoSparkleDelegate* forwarder_;
  SPUStandardUpdaterController* controller_;
};

class SparkleUpdaterFactory final : public UpdaterFactory {
 public:
  std::unique_ptr<Updater> create(UpdaterDelegate& delegate) override {
    return std::make_unique<SparkleUpdater>(delegate);
  }
};

}  // namespace

std::unique_ptr<UpdaterFactory> makeSparkleUpdaterFactory() {
  return std::make_unique<SparkleUpdaterFactory>();
}

}  // namespace velto::launcher
