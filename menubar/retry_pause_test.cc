// The real wait between connection attempts: stop() must end it, or the agent
// would hang on quit while no bridge listens.
#include "menubar/retry_pause.h"

#include <gtest/gtest.h>

#include <future>

namespace velto {
namespace {

TEST(StoppableSleep, StopEndsTheWaitInProgressAndEveryLaterOne) {
  StoppableSleep sleep;
  std::promise<void> waiting;
  auto waited = std::async(std::launch::async, [&] {
    waiting.set_value();
    return sleep.wait(std::chrono::hours(1));
  });
  waiting.get_future().wait();
  sleep.stop();
  EXPECT_FALSE(waited.get());  // an hour never passes: the test's time-out would fail it first
  EXPECT_FALSE(sleep.wait(std::chrono::hours(1)));
}

}  // namespace
}  // namespace velto
