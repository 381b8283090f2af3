// A mutex, its scoped lock and a condition variable that clang's thread-safety
// analysis understands (std::mutex is no capability to it), so that a field
// marked VELTO_GUARDED_BY(mutex_) is checked at every use. Any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "common/thread_annotations.h"

namespace velto {

class VELTO_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() VELTO_ACQUIRE() { mutex_.lock(); }
  void unlock() VELTO_RELEASE() { mutex_.unlock(); }

 private:
  friend class CondVar;
  std::mutex mutex_;
};

// Holds `mutex` from construction to the end of the scope.
class VELTO_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) VELTO_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() VELTO_RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// Waits release the mutex while blocked and hold it again on return. Wake-ups
// may be spurious: wait in a loop over the condition, written in the caller,
// where the analysis sees the guarded fields it reads.
class CondVar {
 public:
  void wait(Mutex& mutex) VELTO_REQUIRES(mutex) {
    std::unique_lock lock(mutex.mutex_, std::adopt_lock);
    signal_.wait(lock);
    lock.release();
  }
  // False once `deadline` has passed.
  template <class Clock, class Duration>
  bool waitUntil(Mutex& mutex, std::chrono::time_point<Clock, Duration> deadline)
      VELTO_REQUIRES(mutex) {
    std::unique_lock lock(mutex.mutex_, std::adopt_lock);
    const bool woken = signal_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return woken;
  }
  void notifyAll() { signal_.notify_all(); }

 private:
  std::condition_variable signal_;
};

}  // namespace velto
