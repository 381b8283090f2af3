// Portable queues built on the standard library: an event loop that serves as the
// main queue where the platform has none of its own, and a background queue that
// gives each block a thread of its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "launcher/update_platform.h"

namespace velto::launcher {

class EventLoop final : public MainQueue {
 public:
  // Any thread.
  void post(Block block) override;
  void postAfter(Delay delay, Block block) override;

  // Runs queued blocks on the calling thread, each when its deadline has come,
  // until stop() is called. Blocks still queued then stay unrun.
  void run();
  // Any thread, a running block included: run() returns once the block in
  // progress (if any) has finished.
  void stop();

 private:
  using Clock = std::chrono::steady_clock;

  std::mutex mutex_;
  std::condition_variable changed_;
  // Equal deadlines keep the order of insertion (multimap inserts after equal keys).
  std::multimap<Clock::time_point, Block> blocks_;  // GUARDED_BY(mutex_)
  bool stopping_ = false;                           // GUARDED_BY(mutex_)
};

class ThreadBackgroundQueue final : public BackgroundQueue {
 public:
  ThreadBackgroundQueue() = default;
  ThreadBackgroundQueue(const ThreadBackgroundQueue&) = delete;
  ThreadBackgroundQueue& operator=(const ThreadBackgroundQueue&) = delete;
  // Waits for every queued block to have run.
  ~ThreadBackgroundQueue() override;

  // Any thread. The block runs on a new thread after `delay`, beside any other.
  void postAfter(Delay delay, Block block) override;

 private:
  std::mutex mutex_;
  std::vector<std::thread> workers_;  // GUARDED_BY(mutex_)
};

}  // namespace velto::launcher
