// Update mode on macOS: the launcher runs as an application whose delegate drives
// one update check. Main thread.
#include <memory>

#include "launcher/sparkle_check_delegate.h"
#include "launcher/update_platform.h"
#include "launcher/velto_vpn_launcher.h"

namespace velto::launcher {

int runUpdateMode() {
  // Not destroyed when the process ends from inside a callback (exit() does not
  // unwind), so the delegate's references stay valid to the very end.
  std::unique_ptr<UpdateEnvironment> environment = makeUpdateEnvironment();
  SparkleCheckDelegate& delegate =
      SparkleCheckApp::retain(std::make_unique<SparkleCheckDelegate>(environment->services()));
  environment->eventLoop().run(delegate);
  return 0;
}

}  // namespace velto::launcher
