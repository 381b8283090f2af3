// launchd has no readiness protocol: a client simply connects once the socket
// exists. Main thread.
#include "helper/readiness.h"

namespace velto {

void notifyReady(const LogFunction&) {}

}  // namespace velto
