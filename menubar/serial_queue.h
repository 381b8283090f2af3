// A serial work queue: tasks run one at a time, in submission order, on one
// worker thread of the queue's own. Any thread may submit.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "menubar/thread_annotations.h"

namespace velto {

class SerialQueue {
 public:
  SerialQueue();
  // Waits for the task that is running, drops those not yet started.
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  // Queues `task` and returns at once.
  void async(std::function<void()> task);
  // Queues `task` and returns once it has run, so every task queued before it
  // has run too. REQUIRES: not called from a task of this queue.
  void sync(const std::function<void()>& task);

 private:
  void work();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_ VELTO_GUARDED_BY(mutex_);
  bool stopping_ VELTO_GUARDED_BY(mutex_) = false;
  std::thread worker_;  // last: starts once the fields above exist
};

}  // namespace velto
