// Readiness for systemd (sd_notify). Main thread, once, after the socket listens.
#include "helper/readiness.h"

#include <systemd/sd-daemon.h>

#include "common/io.h"

namespace velto {

void notifyReady(const LogFunction& log) {
  // Unsetting NOTIFY_SOCKET keeps the scripts the daemon runs from speaking to
  // the service manager in its name.
  int sent = sd_notify(/*unset_environment=*/1, "READY=1");
  if (sent < 0) log("readiness notification failed: " + errnoText(-sent));
}

}  // namespace velto
