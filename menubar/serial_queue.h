// A serial work queue: tasks run one at a time, in submission order, on one
// worker thread of the queue's own. Any thread may submit.
//
// The queue is also a capability: a field marked VELTO_GUARDED_BY(queue) is
// touched only by the queue's tasks, each of which opens with
// queue.assertRunningTask().
#pragma once

#include <deque>
#include <functional>
#include <thread>

#include "common/mutex.h"
#include "common/thread_annotations.h"

namespace velto {

class VELTO_CAPABILITY("serial queue") SerialQueue {
 public:
  SerialQueue();
  // Waits for the task that is running, drops those not yet started.
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  // Queues `task` and returns at once.
  void async(std::function<void()> task) VELTO_EXCLUDES(mutex_);
  // Queues `task` and returns once it has run, so every task queued before it
  // has run too. REQUIRES: not called from a task of this queue.
  void sync(const std::function<void()>& task) VELTO_EXCLUDES(mutex_);

  // Tasks of this queue call it first: from there on they may touch what the
  // queue guards. Aborts when called from any other thread.
  void assertRunningTask() const VELTO_ASSERT_CAPABILITY(this);

 private:
  void work() VELTO_EXCLUDES(mutex_);

  Mutex mutex_;
  CondVar wake_;
  std::deque<std::function<void()>> tasks_ VELTO_GUARDED_BY(mutex_);
  bool stopping_ VELTO_GUARDED_BY(mutex_) = false;
  std::thread worker_;  // last: starts once the fields above exist
};

}  // namespace velto
