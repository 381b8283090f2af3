// The engine's tunnel timelines against a fake helper that answers each tunnel
// step as a machine with or without wireguard-go, or no helper at all, would.
#include "tools/standin_engine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <errno.h>

#include <algorithm>
#include <deque>
#include <map>
#include <utility>
#include <vector>

namespace velto::standin {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr const char* kInstance = "0123abcd";
constexpr const char* kRelayKey = "ab+/cdefGHIJKLMNOPQRSTUVWXYZabcdefghijklmnop=";

HelperOutcome answer(int exitCode, std::string output = "") {
  return HelperAnswer{true, exitCode, std::move(output)};
}
HelperOutcome unreachable() { return Error{"connect", ENOENT}; }
HelperOutcome refused() { return HelperAnswer{false, 0, "unauthorized peer"}; }
HelperOutcome lost() { return HelperOutcome::lost(Error{"connection closed without a response"}); }

const HelperOutcome kBuilt = answer(
    0, "client-namespace=veltovpn-0123abcd-client\nrelay-key=" + std::string(kRelayKey) + "\n");
const HelperOutcome kNoHandshake = answer(0, "link=up\nhandshake=0\n");
const HelperOutcome kHandshake = answer(0, "link=up\nhandshake=1796696427\n");

struct Step {
  TunnelStep step;
  bool killSwitch;
  bool operator==(const Step&) const = default;
};

// Tells the step from the script text, and answers from a queue per step;
// an empty queue answers success with no output.
class FakeHelper : public PrivilegedHelper {
 public:
  HelperOutcome ping() override { return answer(0, "test"); }
  HelperOutcome runScript(const std::string& sent) override {
    // The steps that change the tunnel say when they become too late to run.
    std::string script = sent;
    const size_t bound = script.find("\nnot_after=");
    if (bound != std::string::npos) script.erase(bound, script.find('\n', bound + 1) - bound);
    for (TunnelStep step : everyTunnelStep()) {
      for (bool killSwitch : {false, true}) {
        if (script != tunnelScript(step, {kInstance, killSwitch, {}})) continue;
        EXPECT_EQ(bound != std::string::npos,
                  step == TunnelStep::up || step == TunnelStep::killSwitch);
        asked.push_back({step, killSwitch});
        std::deque<HelperOutcome>& queue = answers[step];
        if (queue.empty()) return answer(0);
        HelperOutcome next = queue.front();
        queue.pop_front();
        return next;
      }
    }
    ADD_FAILURE() << "not a tunnel step: " << script.substr(0, 200);
    return answer(1);
  }
  std::vector<TunnelStep> stepsAsked() const {
    std::vector<TunnelStep> steps;
    for (const Step& s : asked) steps.push_back(s.step);
    return steps;
  }

  std::map<TunnelStep, std::deque<HelperOutcome>> answers;
  std::vector<Step> asked;
};

class RecordingOutlet : public EngineOutlet {
 public:
  void sendFrame(const std::string& line) override {
    nlohmann::json frame = nlohmann::json::parse(line);
    std::string shown = frame["status"].get<std::string>();
    if (frame.contains("relayId")) shown += " " + frame["relayId"].get<std::string>();
    if (frame["killSwitch"].get<bool>()) shown += " ks";
    statuses.push_back(shown);
  }
  void log(std::string_view message) override { logText += std::string(message) + "\n"; }

  std::vector<std::string> statuses;
  std::string logText;
};

// Keeps every line sent on the bridge as it went out, whatever its kind.
class RawOutlet : public RecordingOutlet {
 public:
  void sendFrame(const std::string& line) override { frames.push_back(line); }

  std::vector<std::string> frames;
};

// An engine asked to connect at time zero, after its helper was given `up` and
// `check` to answer.
struct Connecting {
  Connecting(std::deque<HelperOutcome> up, std::deque<HelperOutcome> check = {}) {
    helper.answers[TunnelStep::up] = std::move(up);
    helper.answers[TunnelStep::check] = std::move(check);
    engine.perform(BridgeCommand::connect, now);
  }
  // Moves the clock on by `step` and lets the engine act.
  void after(Clock::duration step) { engine.tick(now += step); }
  void perform(BridgeCommand command) { engine.perform(command, now); }

  Clock::time_point now{};
  FakeHelper helper;
  RecordingOutlet outlet;
  VpnEngine engine{{.tunnelInstance = kInstance, .pingInterval = 0ms}, outlet, helper, now};
};

TEST(EngineTimeline, SimulatesWhereNoRealTunnelCanBeBuilt) {
  const std::pair<HelperOutcome, const char*> cases[] = {
      {unreachable(), "no helper to build it"},
      {refused(), "the helper refused the script"},
      {answer(kTunnelUnavailableExit, "unavailable: wireguard-go is not installed\n"),
       "this machine cannot run it: unavailable: wireguard-go is not installed"},
  };
  for (const auto& [upAnswer, why] : cases) {
    SCOPED_TRACE(why);
    Connecting run({upAnswer});
    run.after(1500ms);
    run.perform(BridgeCommand::toggleKillSwitch);
    run.perform(BridgeCommand::disconnect);
    EXPECT_THAT(run.outlet.statuses, ElementsAre("connecting", "connected fra-wg-007",
                                                 "connected fra-wg-007 ks", "idle ks"));
    EXPECT_THAT(run.outlet.logText, HasSubstr(std::string("no real tunnel (") + why +
                                              "): simulating one to relay fra-wg-007"));
    // Nothing was built, so nothing is checked, switched or torn down.
    EXPECT_THAT(run.helper.stepsAsked(), ElementsAre(TunnelStep::up));
  }
}

TEST(EngineTimeline, ConnectedOnlyAfterTheHandshakeAndErrorWhenTheTunnelDies) {
  Connecting run({kBuilt}, {kNoHandshake, kNoHandshake, kHandshake, kHandshake,
                            answer(0, "link=missing\nhandshake=0\n")});
  run.after(0ms);
  run.after(250ms);
  EXPECT_THAT(run.outlet.statuses, ElementsAre("connecting"));
  run.after(250ms);
  EXPECT_THAT(run.outlet.statuses, ElementsAre("connecting", "connected relay-ab-_cdef"));
  // Checked every two seconds from then on, no sooner.
  run.after(1999ms);
  EXPECT_EQ(run.helper.asked.size(), 4u);
  run.after(1ms);
  run.after(2s);
  EXPECT_THAT(run.outlet.statuses.back(), "error");
  EXPECT_THAT(run.outlet.logText,
              HasSubstr("tunnel 0123abcd: lost (the client's link is missing)"));
  // The dead tunnel stays until the user acts: a kill switch set now still
  // goes into its namespace, and quit takes it down.
  run.perform(BridgeCommand::toggleKillSwitch);
  run.after(10s);
  run.perform(BridgeCommand::quit);
  EXPECT_THAT(run.outlet.statuses,
              ElementsAre("connecting", "connected relay-ab-_cdef", "error", "error ks"));
  EXPECT_THAT(run.helper.asked.back(), (Step{TunnelStep::down, true}));
  EXPECT_EQ(run.helper.asked[run.helper.asked.size() - 2], (Step{TunnelStep::killSwitch, true}));
  EXPECT_TRUE(run.engine.quitRequested());
}

TEST(EngineTimeline, FailuresEndInErrorWithNothingLeftStanding) {
  struct Case {
    std::deque<HelperOutcome> up, check;
    const char* logged;
  };
  using Checks = std::deque<HelperOutcome>;
  const Case cases[] = {
      {{answer(1, "RTNETLINK: File exists\n")}, {}, "tunnel 0123abcd: set-up failed (exit 1)"},
      {{answer(0, "\n")}, {}, "set-up failed (exit 0)"},  // no relay key
      {{kBuilt}, Checks(80, kNoHandshake), "no handshake with the relay within 15000 ms (link up)"},
      {{kBuilt}, Checks(80, unreachable()), "within 15000 ms (link unknown)"},  // helper gone
      // The helper took the up step and was stopped, or its answer went astray:
      // whatever the step built is torn down, not left behind a simulation.
      {{lost()}, {}, "the helper took the up step and its answer was lost"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logged);
    Connecting run(c.up, c.check);
    for (auto t = 0ms; t <= 16s; t += 250ms) run.engine.tick(run.now + t);
    EXPECT_THAT(run.outlet.statuses, ElementsAre("connecting", "error"));
    EXPECT_THAT(run.outlet.logText, HasSubstr(c.logged));
    EXPECT_EQ(run.helper.stepsAsked().back(), TunnelStep::down);
    // Torn down once; disconnect has nothing more to remove.
    run.perform(BridgeCommand::disconnect);
    EXPECT_EQ(
        std::count(run.helper.asked.begin(), run.helper.asked.end(), Step{TunnelStep::down, false}),
        1);
    EXPECT_THAT(run.outlet.statuses.back(), "idle");
  }
}

TEST(EngineTimeline, KillSwitchFollowsWhatTheTunnelReallyHas) {
  Connecting run({kBuilt}, {kHandshake});
  run.helper.answers[TunnelStep::killSwitch] = {
      answer(0), answer(1, "Error: Could not process rule\n"), unreachable()};
  run.after(0ms);
  run.perform(BridgeCommand::toggleKillSwitch);
  run.perform(BridgeCommand::toggleKillSwitch);  // the table cannot be removed: the switch stays on
  run.perform(BridgeCommand::toggleKillSwitch);
  EXPECT_THAT(run.outlet.statuses,
              ElementsAre("connecting", "connected relay-ab-_cdef", "connected relay-ab-_cdef ks"));
  EXPECT_THAT(run.outlet.logText,
              HasSubstr("kill switch stays on: the tunnel's table could not be changed"));
  // A second connect while connected builds nothing; a failed tear-down is tried again.
  run.helper.answers[TunnelStep::down] = {unreachable()};
  run.perform(BridgeCommand::connect);
  run.perform(BridgeCommand::disconnect);
  run.perform(BridgeCommand::quit);
  EXPECT_THAT(
      run.helper.stepsAsked(),
      ElementsAre(TunnelStep::up, TunnelStep::check, TunnelStep::killSwitch, TunnelStep::killSwitch,
                  TunnelStep::killSwitch, TunnelStep::down, TunnelStep::down));
  EXPECT_THAT(run.outlet.logText, HasSubstr("tear-down failed; it is tried again"));
}

// Lines from an agent: each is acted on or ignored with a line that says why.
TEST(EngineAgentLines, CommandsActAndEverythingElseIsLoggedAsIgnored) {
  struct Case {
    std::string line;
    std::string log;
    std::vector<std::string> statuses;
  };
  const Case cases[] = {
      {R"({"action":"toggle-killswitch","type":"command"})",
       "agent -> command toggle-killswitch\n-> status idle ks=true rid=-\n",
       {"idle ks"}},
      {R"({"type":"command","action":"show-window"})",
       "agent -> command show-window\nshow-window: the main window would come to the front now\n",
       {}},
      {R"({"type":"command","action":"reconnect"})",
       "agent -> command reconnect\nunknown action, ignored: reconnect\n",
       {}},
      {R"({"type":"status","status":"idle"})",
       "ignored line from agent (not a command): {\"type\":\"status\",\"status\":\"idle\"}\n",
       {}},
      {"connect", "ignored line from agent (not a JSON object): connect\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    FakeHelper helper;
    RecordingOutlet outlet;
    VpnEngine engine({.tunnelInstance = kInstance, .pingInterval = 0ms}, outlet, helper, {});
    engine.handleAgentLine(c.line, {});
    EXPECT_EQ(outlet.logText, c.log);
    EXPECT_EQ(outlet.statuses, c.statuses);
  }
}

// Each console word reaches its own action: what it logs and the lines it sends.
TEST(EngineConsole, EachCommandLogsAndSendsWhatItNames) {
  struct Case {
    std::string line;
    std::string log;
    std::vector<std::string> frames;
  };
  const Case cases[] = {
      {"status", "state: idle ks=false rid=-\n", {}},
      {" connected ",
       "-> status connected ks=false rid=fra-wg-007\n",
       {statusMessage("connected", false, "fra-wg-007")}},
      {"error relay-9",
       "-> status error ks=false rid=relay-9\n",
       {statusMessage("error", false, "relay-9")}},
      {"status  stalled\t relay-1",
       "-> status stalled ks=false rid=relay-1\n",
       {statusMessage("stalled", false, "relay-1")}},
      {"status connecting",
       "-> status connecting ks=false rid=-\n",
       {statusMessage("connecting", false, std::nullopt)}},
      {"kill on", "-> status idle ks=true rid=-\n", {statusMessage("idle", true, std::nullopt)}},
      {"killswitch", "-> status idle ks=true rid=-\n", {statusMessage("idle", true, std::nullopt)}},
      {"kill off", "kill switch already off\n", {}},
      {"kill maybe", "kill: expected on or off, got maybe\n", {}},
      {"hide", "-> hide-app\n", {hideAppMessage()}},
      {"ping", "-> ping\n", {pingMessage()}},
      {"send {}", "-> raw {}\n", {"{}\n"}},
      {"script", "script: give the script text after the word\n", {}},
      {"helper", "helper ping: pong from helper version test\n", {}},
      {"show", "show-window: the main window would come to the front now\n", {}},
      {"frobnicate now", "unknown console command: frobnicate (try help)\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    RawOutlet outlet;
    FakeHelper helper;
    VpnEngine engine({.tunnelInstance = kInstance, .pingInterval = 0ms}, outlet, helper, {});
    engine.handleConsoleLine(c.line, {});
    EXPECT_EQ(outlet.logText, c.log);
    EXPECT_EQ(outlet.frames, c.frames);
  }
}

// The console is typed at: any bytes may come, and none may end the stand-in.
TEST(EngineConsole, LinesThatAreNotUtf8AreRefusedAndSendPassesThemOn) {
  const std::string_view refused[] = {"status conn\xff", "status connected rel\xc3",
                                      "script echo \xed\xa0\x80", "\xc0\xaf", "kill o\x80"};
  FakeHelper helper;
  RecordingOutlet outlet;
  VpnEngine engine({.tunnelInstance = kInstance, .pingInterval = 0ms}, outlet, helper, {});
  for (std::string_view line : refused) {
    SCOPED_TRACE(line);
    outlet.logText.clear();
    engine.handleConsoleLine(line, {});
    EXPECT_THAT(outlet.logText,
                HasSubstr("console: ignored a line that is not UTF-8 (bad byte at"));
  }
  EXPECT_TRUE(outlet.statuses.empty());
  EXPECT_TRUE(helper.asked.empty());
  // Well-formed text of any script goes through; send passes bytes as they are.
  engine.handleConsoleLine("status connected r\xc3\xa9lais", {});
  EXPECT_THAT(outlet.statuses, ElementsAre("connected r\xc3\xa9lais"));
  RawOutlet rawOutlet;
  VpnEngine sending({.tunnelInstance = kInstance, .pingInterval = 0ms}, rawOutlet, helper, {});
  sending.handleConsoleLine("send {\"type\":\"status\",\"status\":\"\xff\"}", {});
  EXPECT_THAT(rawOutlet.frames, ElementsAre("{\"type\":\"status\",\"status\":\"\xff\"}\n"));
}

}  // namespace
}  // namespace velto::standin
