// StoppableSleep: a wait on a condition variable that stop() ends. Any thread.
#include "menubar/retry_pause.h"

namespace velto {

bool StoppableSleep::wait(std::chrono::seconds delay) {
  const auto deadline = std::chrono::steady_clock::now() + delay;
  MutexLock lock(mutex_);
  while (!stopping_) {
    if (!stopSignal_.waitUntil(mutex_, deadline)) break;
  }
  return !stopping_;
}

void StoppableSleep::stop() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  stopSignal_.notifyAll();
}

}  // namespace velto
