// Entry point of veltovpn-helper. Main thread only, before any other thread exists.
#include "helper/helper_main.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <vector>

#include "common/io.h"
#include "helper/stop_signals.h"

#if VELTO_HAVE_MALLOPT
#include <malloc.h>
#endif

namespace velto {
namespace {

// A parent may start the daemon with standard descriptors closed. The sockets and
// pipes it opens would then take those numbers, and log lines meant for standard
// output would go to a client; /dev/null fills the gaps first.
void openMissingStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // Takes the lowest free number, `fd`, which stays open for good.
    Result<UniqueFd> opened = openRetrying("/dev/null", O_RDWR);
    if (opened && opened->get() <= STDERR_FILENO) (void)opened->release();
  }
}

// Whatever the parent left open above the standard three would reach every root
// script (and keep the parent's pipes and files alive); none of it is the daemon's.
void closeInheritedDescriptors() {
#if VELTO_HAVE_CLOSE_RANGE
  if (::close_range(STDERR_FILENO + 1, ~0u, 0) == 0) return;  // ENOSYS before Linux 5.9
#endif
  // The open descriptors are listed under /dev/fd (on Linux a link to
  // /proc/self/fd); the listing's own descriptor is left for closedir.
  std::vector<int> open;
  if (DIR* dir = ::opendir("/dev/fd")) {
    const int own = ::dirfd(dir);
    while (const struct dirent* entry = ::readdir(dir)) {
      char* end = nullptr;
      long fd = ::strtol(entry->d_name, &end, 10);
      if (end != entry->d_name && *end == '\0' && fd > STDERR_FILENO && fd != own) {
        open.push_back(static_cast<int>(fd));
      }
    }
    ::closedir(dir);
  } else {
    long limit = ::sysconf(_SC_OPEN_MAX);
    if (limit < 0 || limit > 65536) limit = 65536;
    for (int fd = STDERR_FILENO + 1; fd < limit; ++fd) open.push_back(fd);
  }
  for (int fd : open) ::close(fd);
}

// Ignored signals and the signal mask survive exec. A parent that ignored SIGCHLD
// would have the kernel reap every script before its exit code is read; one that
// ignored or blocked SIGTERM (nohup, a shell's background job) would keep the
// service manager from stopping the daemon. Caught signals cannot be inherited
// (exec resets them), so every ignored one goes back to its default; handlers a
// sanitizer's runtime installed before main stay.
void resetInheritedSignals() {
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction current;
    if (::sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
      ::signal(sig, SIG_DFL);
    }
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Script output and oversized requests come in buffers of up to 16 MiB. With a
// fixed mmap threshold glibc gives those back at once instead of raising the
// threshold and keeping the freed memory in the heap for good.
void returnLargeBuffersToTheSystem() {
#if VELTO_HAVE_MALLOPT
  ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
}

}  // namespace

int VeltoHelperMain::main() {
  HelperServerOptions options;
  options.socketPath = SOCKET_PATH;
  options.logPath = LOG_PATH;
  return main(options);
}

int VeltoHelperMain::main(const HelperServerOptions& options) {
  openMissingStandardDescriptors();
  closeInheritedDescriptors();
  resetInheritedSignals();
  returnLargeBuffersToTheSystem();
  // A stop ends the process by its signal, as the service manager expects of a
  // daemon it stopped; a failed set-up, which the log has told, by status 1. A
  // duplicate (a second launchd job, a copy started by hand) ends successfully,
  // so that neither launchd nor systemd starts it again.
  const HelperRunEnd end = runHelperServer(options);
  if (end.stopSignal != 0) endBySignal(end.stopSignal);
  return end.anotherServes ? 0 : 1;
}

}  // namespace velto
