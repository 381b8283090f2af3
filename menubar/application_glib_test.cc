// The GLib event loop: blocks posted from other threads run on the thread
// that runs the loop, in order, even when posted before the loop starts.
#include "menubar/application_glib.h"

#include <gtest/gtest.h>

#include <numeric>
#include <thread>
#include <vector>

namespace velto {
namespace {

TEST(GLibApplication, PostedBlocksRunInOrderOnTheLoopThread) {
  GLibApplication app;
  const std::thread::id mainThread = std::this_thread::get_id();
  std::vector<int> order;  // written by the blocks: -1 for one off the loop's thread
  std::thread poster([&] {
    for (int i = 0; i < 50; ++i) {
      app.postToMain(
          [&, i] { order.push_back(std::this_thread::get_id() == mainThread ? i : -1); });
    }
    app.postToMain([&] { app.terminate(); });
  });
  poster.join();  // everything is posted before the loop runs
  app.run();
  std::vector<int> expected(50);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(order, expected);
}

}  // namespace
}  // namespace velto
