// Child exit on Linux: a pidfd, which polls readable once the process has ended
// (also when it ended before the pidfd was opened: a zombie still counts). Any thread.
#include "helper/child_exit_watch.h"

#include <errno.h>
#include <sys/syscall.h>
#include <unistd.h>

#if VELTO_HAVE_PIDFD_OPEN
// glibc 2.36 declares pidfd_open without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}
#endif

namespace velto {

Result<UniqueFd> watchChildExit(pid_t pid) {
  // pidfds are always close-on-exec.
#if VELTO_HAVE_PIDFD_OPEN
  UniqueFd watch(::pidfd_open(pid, 0));
#elif defined(SYS_pidfd_open)
  UniqueFd watch(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
  (void)pid;
  return Error{"pidfd_open", ENOSYS};
#endif
  if (!watch) return errnoError("pidfd_open");
  return watch;
}

}  // namespace velto
