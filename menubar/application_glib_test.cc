// The GLib event loop: blocks posted from other threads run on the thread
// that runs the loop, in order, even when posted before the loop starts.
#include "menubar/application_glib.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace velto {
namespace {

TEST(GLibApplication, PostedBlocksRunInOrderOnTheLoopThread) {
  GLibApplication app;
  const std::thread::id mainThread = std::this_thread::get_id();
  std::vector<int> order;  // written by the blocks, which all run on this thread
  std::vector<bool> onMain;
  std::thread poster([&] {
    for (int i = 0; i < 50; ++i) {
      app.postToMain([&, i] {
        order.push_back(i);
        onMain.push_back(std::this_thread::get_id() == mainThread);
      });
    }
    app.postToMain([&] { app.terminate(); });
  });
  poster.join();  // everything is posted before the loop runs
  app.run();
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
  EXPECT_EQ(std::count(onMain.begin(), onMain.end(), false), 0);
}

}  // namespace
}  // namespace velto
