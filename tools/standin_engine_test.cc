#include "tools/standin_engine.h"
#include "tools/helper_client.h"
#include "tools/standin_app.h"
#include "tools/standin_helper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace velto::standin {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using ::testing::HasSubstr;

class RecordingOutlet : public EngineOutlet {
 public:
  void sendFrame(const std::string& line) override { frames.push_back(line); }
  void log(std::string_view message) override { logs.emplace_back(message); }

  // The frames as parsed objects; each must be one line ending in a line feed.
  std::vector<json> parsed() const {
    std::vector<json> out;
    for (const std::string& line : frames) {
      EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
      out.push_back(json::parse(line));
    }
    return out;
  }
  std::string allLogs() const {
    std::string all;
    for (const std::string& line : logs) all += line + "\n";
    return all;
  }

  std::vector<std::string> frames;
  std::vector<std::string> logs;
};

class FakeHelper : public PrivilegedHelper {
 public:
  HelperOutcome ping() override { return reply; }
  HelperOutcome runScript(const std::string& script) override {
    scripts.push_back(script);
    return reply;
  }
  HelperOutcome reply{true, true, 0, "tunnel up\n"};
  std::vector<std::string> scripts;
};

struct EngineTest : ::testing::Test {
  EngineOptions options() {
    EngineOptions o;
    o.relayId = "ams-1";
    o.connectDelay = 1500ms;
    o.pingInterval = 0ms;
    return o;
  }
  Clock::time_point t0 = Clock::time_point() + 1h;
  RecordingOutlet outlet;
  FakeHelper helper;
};

json status(std::string word, bool ks, std::optional<std::string> relay = std::nullopt) {
  json frame = {{"type", "status"}, {"status", word}, {"killSwitch", ks}};
  if (relay) frame["relayId"] = *relay;
  return frame;
}

TEST_F(EngineTest, ConnectGoesThroughConnectingAndTheHelperThenConnectsAfterTheDelay) {
  VpnEngine engine(options(), outlet, helper, t0);
  engine.perform("connect", t0);
  EXPECT_EQ(outlet.parsed(), std::vector<json>{status("connecting", false)});
  ASSERT_EQ(helper.scripts.size(), 1u);
  EXPECT_THAT(helper.scripts[0], HasSubstr("'ams-1'"));
  EXPECT_THAT(outlet.allLogs(), HasSubstr("exit=0 output:\n    | tunnel up"));
  EXPECT_EQ(engine.nextWakeup(), t0 + 1500ms);

  engine.tick(t0 + 1499ms);
  EXPECT_EQ(outlet.frames.size(), 1u);
  engine.tick(t0 + 1500ms);
  EXPECT_EQ(outlet.parsed().back(), status("connected", false, "ams-1"));

  // A second connect while connected changes nothing and asks no helper.
  engine.perform("connect", t0 + 2s);
  EXPECT_EQ(outlet.frames.size(), 2u);
  EXPECT_EQ(helper.scripts.size(), 1u);

  engine.perform("disconnect", t0 + 3s);
  EXPECT_EQ(outlet.parsed().back(), status("idle", false));
}

TEST_F(EngineTest, DisconnectWhileConnectingCancelsTheConnect) {
  VpnEngine engine(options(), outlet, helper, t0);
  engine.perform("connect", t0);
  engine.perform("disconnect", t0 + 100ms);
  engine.tick(t0 + 10s);
  EXPECT_EQ(outlet.parsed(), (std::vector<json>{status("connecting", false), status("idle", false)}));
}

TEST_F(EngineTest, AnUnreachableHelperIsReportedAndTheConnectGoesOn) {
  helper.reply = HelperOutcome{false, false, 0, "/run/x.sock: No such file or directory"};
  VpnEngine engine(options(), outlet, helper, t0);
  engine.perform("connect", t0);
  engine.tick(t0 + 2s);
  EXPECT_THAT(outlet.allLogs(), HasSubstr("helper not reachable (/run/x.sock: No such file"));
  EXPECT_EQ(outlet.parsed().back(), status("connected", false, "ams-1"));
}

TEST_F(EngineTest, CommandLinesFromTheAgentAreReadInEitherMemberOrder) {
  struct Case {
    std::string line;
    bool acted;
  } cases[] = {
      {R"({"type":"command","action":"toggle-killswitch"})", true},
      {R"({"action":"toggle-killswitch","type":"command"})", true},
      {R"( { "action" : "toggle-killswitch" , "type" : "command" } )", true},
      {R"({"type":"command","action":"toggle-killswitch","extra":[1]})", true},
      {R"({"type":"status","action":"toggle-killswitch"})", false},
      {R"({"type":"command","action":5})", false},
      {R"({"type":"command"})", false},
      {R"(["command","toggle-killswitch"])", false},
      {R"({"type":"command","action":"toggle-killswitch"} trailing)", false},
      {"not json", false},
  };
  for (const Case& c : cases) {
    RecordingOutlet out;
    VpnEngine engine(options(), out, helper, t0);
    engine.handleAgentLine(c.line, t0);
    EXPECT_EQ(engine.state().killSwitch, c.acted) << c.line;
    if (!c.acted) {
      EXPECT_THAT(out.allLogs(), HasSubstr("ignored line from agent")) << c.line;
    }
  }
}

TEST_F(EngineTest, ConsoleDrivesTheSameEngine) {
  struct Case {
    std::vector<std::string> lines;
    std::string status;
    bool killSwitch;
    std::optional<std::string> relay;
    bool quit;
  } cases[] = {
      {{"kill"}, "idle", true, std::nullopt, false},
      {{"kill on", "kill on"}, "idle", true, std::nullopt, false},
      {{"kill on", "kill off"}, "idle", false, std::nullopt, false},
      {{"connected"}, "connected", false, "ams-1", false},
      {{"status connected lon-2"}, "connected", false, "lon-2", false},
      {{"  error  "}, "error", false, std::nullopt, false},
      {{"connect", "status"}, "connecting", false, std::nullopt, false},
      {{"connect", "idle"}, "idle", false, std::nullopt, false},
      {{"quit"}, "idle", false, std::nullopt, true},
      {{"bogus", "kill maybe"}, "idle", false, std::nullopt, false},
  };
  for (const Case& c : cases) {
    RecordingOutlet out;
    VpnEngine engine(options(), out, helper, t0);
    for (const std::string& line : c.lines) engine.handleConsoleLine(line, t0);
    engine.tick(t0 + 1s);  // before the connect delay is over
    SCOPED_TRACE(c.lines.front());
    EXPECT_EQ(engine.state().status, c.status);
    EXPECT_EQ(engine.state().killSwitch, c.killSwitch);
    EXPECT_EQ(engine.state().relayId, c.relay);
    EXPECT_EQ(engine.quitRequested(), c.quit);
  }
}

TEST_F(EngineTest, ConsoleSendsHideAppPingAndRawLines) {
  VpnEngine engine(options(), outlet, helper, t0);
  engine.handleConsoleLine("hide", t0);
  engine.handleConsoleLine("ping", t0);
  engine.handleConsoleLine("send {\"type\":\"mystery\"}", t0);
  EXPECT_EQ(outlet.frames, (std::vector<std::string>{"{\"type\":\"hide-app\"}\n",
                                                     "{\"type\":\"ping\"}\n",
                                                     "{\"type\":\"mystery\"}\n"}));
}

TEST_F(EngineTest, ConsoleScriptRunsThroughTheHelperAndShowsRefusals) {
  VpnEngine engine(options(), outlet, helper, t0);
  engine.handleConsoleLine("script echo hi; exit 3", t0);
  EXPECT_EQ(helper.scripts, std::vector<std::string>{"echo hi; exit 3"});
  helper.reply = HelperOutcome{true, false, 0, "unknown action: x"};
  engine.handleConsoleLine("script true", t0);
  EXPECT_THAT(outlet.allLogs(), HasSubstr("refused: unknown action: x"));
}

TEST_F(EngineTest, PingsComeAtTheirIntervalAndNotWhenTurnedOff) {
  EngineOptions withPings = options();
  withPings.pingInterval = 5s;
  VpnEngine engine(withPings, outlet, helper, t0);
  EXPECT_EQ(engine.nextWakeup(), t0 + 5s);
  engine.tick(t0 + 4s);
  engine.tick(t0 + 5s);
  engine.tick(t0 + 6s);
  engine.tick(t0 + 10s);
  EXPECT_EQ(outlet.frames, (std::vector<std::string>(2, "{\"type\":\"ping\"}\n")));

  RecordingOutlet quiet;
  VpnEngine silent(options(), quiet, helper, t0);
  silent.tick(t0 + 1h);
  EXPECT_TRUE(quiet.frames.empty());
  EXPECT_EQ(silent.nextWakeup(), Clock::time_point::max());
}

TEST(HelperResponse, IsReadByNameWhateverTheMemberTypes) {
  struct Case {
    std::string response;
    bool isScript;
    HelperOutcome expected;
  } cases[] = {
      {R"({"stdout":"a\nb","exit":3,"success":true,"stderr":""})", true, {true, true, 3, "a\nb"}},
      {R"({"success":true,"message":"pong","version":"2.0.0-alpha.1"})", false,
       {true, true, 0, "2.0.0-alpha.1"}},
      {R"({"success":false,"error":"unknown action: x"})", true, {true, false, 0, "unknown action: x"}},
      {R"({"success":"yes","exit":"3"})", true, {true, false, 0, "(no error text)"}},
      {R"({"success":true,"exit":"3","stdout":7})", true, {true, true, 0, ""}},
      {"[1,2]", true, {false, false, 0, "unreadable response: [1,2]"}},
  };
  for (const Case& c : cases) {
    HelperOutcome got = readHelperResponse(c.response, c.isScript);
    EXPECT_EQ(got.answered, c.expected.answered) << c.response;
    EXPECT_EQ(got.success, c.expected.success) << c.response;
    EXPECT_EQ(got.exitCode, c.expected.exitCode) << c.response;
    EXPECT_EQ(got.text, c.expected.text) << c.response;
  }
}

TEST(StandinArguments, TakesTheLaunchersAndItsOwnAndKeepsTheRest) {
  const char* argv[] = {"/b/veltoVpn-bin", "doc.vpn", "--path=/b", "--res-mode=bundle",
                        "--path=/other", "--relay=x-1", "--connect-delay-ms=20",
                        "--ping-ms=soon", "--no-menubar", "--helper-socket=/h.sock", "--verbose"};
  StandinOptions o = parseStandinArguments(static_cast<int>(std::size(argv)), argv);
  EXPECT_EQ(o.programPath, "/b/veltoVpn-bin");
  EXPECT_EQ(o.path, "/b");  // the first one counts
  EXPECT_EQ(o.resMode, "bundle");
  EXPECT_FALSE(o.startAgent);
  EXPECT_EQ(o.helperSocket, "/h.sock");
  EXPECT_EQ(o.engine.relayId, "x-1");
  EXPECT_EQ(o.engine.connectDelay, 20ms);
  EXPECT_EQ(o.engine.pingInterval, EngineOptions().pingInterval);
  EXPECT_EQ(o.extra, (std::vector<std::string>{"doc.vpn", "--verbose"}));
  ASSERT_EQ(o.problems.size(), 1u);
  EXPECT_THAT(o.problems[0], HasSubstr("--ping-ms"));

  const char* bare[] = {"veltoVpn-bin"};
  StandinOptions d = parseStandinArguments(1, bare);
  EXPECT_FALSE(d.path.has_value());
  EXPECT_TRUE(d.startAgent);
  EXPECT_EQ(d.helperSocket, velto::kDefaultHelperSocket);
}

TEST(ConnectScript, KeepsAnyRelayIdAsData) {
  EXPECT_THAT(connectScript("it's; rm -rf /"), HasSubstr("relay='it'\\''s; rm -rf /'\n"));
}

}  // namespace
}  // namespace velto::standin
