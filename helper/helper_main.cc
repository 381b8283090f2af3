// Entry point of veltovpn-helper. Main thread only.
#include "helper/helper_main.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "helper/helper_server.h"

namespace velto {
namespace {

// A parent may start the daemon with standard descriptors closed. The sockets and
// pipes it opens would then take those numbers, and log lines meant for standard
// output would go to a client; /dev/null fills the gaps first.
void openMissingStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    int opened;
    do {
      opened = ::open("/dev/null", O_RDWR);  // takes the lowest free number: `fd`
    } while (opened < 0 && errno == EINTR);
    if (opened > STDERR_FILENO) ::close(opened);
  }
}

}  // namespace

int VeltoHelperMain::main() {
  openMissingStandardDescriptors();
  return runHelperServer(SOCKET_PATH, LOG_PATH);
}

}  // namespace velto
