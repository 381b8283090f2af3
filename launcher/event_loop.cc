// Standard-library queues. See event_loop.h for the threads each method allows.
#include "launcher/event_loop.h"

#include <utility>

namespace velto::launcher {

void EventLoop::post(Block block) { postAfter(Delay::zero(), std::move(block)); }

void EventLoop::postAfter(Delay delay, Block block) {
  {
    std::lock_guard lock(mutex_);
    blocks_.emplace(Clock::now() + delay, std::move(block));
  }
  changed_.notify_one();
}

void EventLoop::run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (blocks_.empty()) {
      changed_.wait(lock);
      continue;
    }
    auto first = blocks_.begin();
    if (first->first > Clock::now()) {
      // Woken early by a new block or stop(); the loop re-reads the earliest one.
      changed_.wait_until(lock, first->first);
      continue;
    }
    Block block = std::move(first->second);
    blocks_.erase(first);
    // Run without the lock, so the block may queue more blocks or stop the loop.
    lock.unlock();
    block();
    lock.lock();
  }
  stopping_ = false;
}

void EventLoop::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_one();
}

ThreadBackgroundQueue::~ThreadBackgroundQueue() {
  std::vector<std::thread> workers;
  {
    std::lock_guard lock(mutex_);
    workers.swap(workers_);
  }
  for (std::thread& worker : workers) worker.join();
}

void ThreadBackgroundQueue::postAfter(Delay delay, Block block) {
  std::lock_guard lock(mutex_);
  workers_.emplace_back([delay, block = std::move(block)] {
    std::this_thread::sleep_for(delay);
    block();
  });
}

}  // namespace velto::launcher
