// Stop signals through a pipe: the handler only records the signal and writes one
// byte; the pipe is never read, so it stays readable for every later poll and no
// stop can fall between a check and a wait. Handler any thread; the rest as the
// header says.
#include "helper/stop_signals.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>

#include "common/io.h"
#include "common/unique_fd.h"

namespace velto {
namespace {

std::atomic<int> gStopSignal{0};
std::atomic<int> gStopRead{-1};
std::atomic<int> gStopWrite{-1};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void onStopSignal(int signo) {
  const int saved = errno;
  int none = 0;
  if (gStopSignal.compare_exchange_strong(none, signo)) {
    const char byte = 1;
    // The pipe is empty until now and never read: the one byte always fits.
    [[maybe_unused]] ssize_t n = ::write(gStopWrite.load(), &byte, 1);
  }
  errno = saved;
}

}  // namespace

Status catchStopSignals() {
  Result<Pipe> pipe = makeCloseOnExecPipe();
  if (!pipe) return pipe.error();
  if (Status set = setNonBlocking(pipe->writeEnd.get()); !set) return set;
  // Kept for the life of the process: the handler may write at any moment.
  gStopRead.store(pipe->readEnd.release());
  gStopWrite.store(pipe->writeEnd.release());
  struct sigaction action = {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signo : {SIGTERM, SIGINT}) {
    if (::sigaction(signo, &action, nullptr) != 0) return errnoError("sigaction");
  }
  return {};
}

int stopRequestFd() { return gStopRead.load(); }

int stopSignal() { return gStopSignal.load(); }

void endBySignal(int signo) {
  ::signal(signo, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signo);
  ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signo);
  // Only a signal whose default is not to end the process gets here.
  ::_exit(128 + signo);
}

}  // namespace velto
