// Entry point of veltovpn-helper. Main thread only.
#include "helper/helper_main.h"

#include "helper/helper_server.h"

namespace velto {

int VeltoHelperMain::main() { return runHelperServer(SOCKET_PATH, LOG_PATH); }

}  // namespace velto
