// Tells the service manager that the daemon is ready: its socket listens, so a
// client started after the daemon's unit finds it accepting. Main thread, once.
#pragma once

#include "common/log.h"

namespace velto {

// Reports readiness where the service manager asked for it (systemd's
// Type=notify); elsewhere, and on platforms without such a protocol, does
// nothing. A failed report is logged; the daemon serves either way.
void notifyReady(const LogFunction& log);

}  // namespace velto
