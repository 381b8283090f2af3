#include "tools/standin_engine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace velto::standin {
namespace {

// Every end-to-end run drives the stand-in with a plain relay name; a relay
// name that is shell text must still reach the helper's script as data.
TEST(ConnectScript, KeepsAnyRelayIdAsData) {
  EXPECT_THAT(connectScript("it's; rm -rf /"), ::testing::HasSubstr("relay='it'\\''s; rm -rf /'\n"));
}

}  // namespace
}  // namespace velto::standin
