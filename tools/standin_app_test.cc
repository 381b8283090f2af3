// The stand-in's command line: the launcher's own arguments, the stand-in's
// options and whatever else the main application would be given.
#include "tools/standin_app.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <iterator>

namespace velto::standin {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

TEST(StandinArguments, OptionsAreReadAndTheRestIsKeptOrReported) {
  const char* argv[] = {"veltoVpn-bin",
                        "--res-mode=bundle",
                        "--path=/a",
                        "--path=/b",
                        "--no-menubar",
                        "--relay=ams-1",
                        "--connect-delay-ms=250",
                        "--ping-ms=-5",
                        "--ping-ms=12x",
                        "--helper-socket=/h",
                        "--verbose",
                        "--ping-ms"};
  StandinOptions options = parseStandinArguments(std::size(argv), argv);
  EXPECT_EQ(options.programPath, "veltoVpn-bin");
  // The launcher appends its --path= after any forwarded one: the first counts.
  EXPECT_EQ(options.path, "/a");
  EXPECT_EQ(options.resMode, "bundle");
  EXPECT_FALSE(options.startAgent);
  EXPECT_EQ(options.helperSocket, "/h");
  EXPECT_EQ(options.engine.relayId, "ams-1");
  EXPECT_EQ(options.engine.connectDelay, 250ms);
  EXPECT_EQ(options.engine.pingInterval, EngineOptions{}.pingInterval);
  EXPECT_THAT(options.extra, ElementsAre("--verbose", "--ping-ms"));
  EXPECT_THAT(options.problems,
              ElementsAre("--ping-ms wants a number of milliseconds, got \"-5\"",
                          "--ping-ms wants a number of milliseconds, got \"12x\""));
}

}  // namespace
}  // namespace velto::standin
