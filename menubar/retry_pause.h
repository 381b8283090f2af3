// How the agent's connection thread waits between attempts to reach the bridge,
// and how the controller cuts that wait short when it goes away. The program
// uses StoppableSleep; tests pass one that records the waits and takes no time.
#pragma once

#include <chrono>

#include "common/mutex.h"
#include "common/thread_annotations.h"

namespace velto {

class RetryPause {
 public:
  virtual ~RetryPause() = default;
  // Connection thread: waits `delay`, or less once stop() is called. False once
  // stop() has been called, at once and for every later wait.
  virtual bool wait(std::chrono::seconds delay) = 0;
  // Any thread.
  virtual void stop() = 0;
};

// Waits on the steady clock.
class StoppableSleep final : public RetryPause {
 public:
  bool wait(std::chrono::seconds delay) override VELTO_EXCLUDES(mutex_);
  void stop() override VELTO_EXCLUDES(mutex_);

 private:
  Mutex mutex_;
  CondVar stopSignal_;
  bool stopping_ VELTO_GUARDED_BY(mutex_) = false;
};

}  // namespace velto
