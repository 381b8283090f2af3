// Serial work queue on one worker thread.
#include "menubar/serial_queue.h"

#include <cstdlib>

namespace velto {

SerialQueue::SerialQueue() : worker_([this] { work(); }) {}

SerialQueue::~SerialQueue() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
    tasks_.clear();
  }
  wake_.notifyAll();
  worker_.join();
}

void SerialQueue::async(std::function<void()> task) {
  {
    MutexLock lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notifyAll();
}

void SerialQueue::sync(const std::function<void()>& task) {
  Mutex doneMutex;
  CondVar doneSignal;
  bool done = false;
  async([&] {
    task();
    MutexLock lock(doneMutex);
    done = true;
    doneSignal.notifyAll();
  });
  MutexLock lock(doneMutex);
  while (!done) doneSignal.wait(doneMutex);
}

void SerialQueue::assertRunningTask() const {
  // A task on the wrong thread would race with the real ones: stop here rather
  // than corrupt what the queue guards.
  if (std::this_thread::get_id() != worker_.get_id()) std::abort();
}

void SerialQueue::work() {
  for (;;) {
    std::function<void()> task;
    {
      MutexLock lock(mutex_);
      while (!stopping_ && tasks_.empty()) wake_.wait(mutex_);
      if (stopping_) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

}  // namespace velto
