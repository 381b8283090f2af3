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
  HelperOutcome runScript(const std::string& script) override {
    for (TunnelStep step :
         {TunnelStep::up, TunnelStep::check, TunnelStep::killSwitch, TunnelStep::down}) {
      for (bool killSwitch : {false, true}) {
        if (script != tunnelScript(step, {kInstance, killSwitch})) continue;
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

EngineOptions options() {
  EngineOptions o;
  o.tunnelInstance = kInstance;
  o.pingInterval = 0ms;
  return o;
}

// An engine asked to connect at time zero, for one case of a table, after its
// helper was given `up` and `check` to answer.
struct Connecting {
  Connecting(std::deque<HelperOutcome> up, std::deque<HelperOutcome> check = {}) {
    helper.answers[TunnelStep::up] = std::move(up);
    helper.answers[TunnelStep::check] = std::move(check);
    engine.perform("connect", now);
  }
  Clock::time_point now{};
  FakeHelper helper;
  RecordingOutlet outlet;
  VpnEngine engine{options(), outlet, helper, now};
};

class EngineTimeline : public ::testing::Test {
 protected:
  // Moves the clock on by `step` and lets the engine act.
  void after(Clock::duration step) {
    now_ += step;
    engine_.tick(now_);
  }
  void perform(std::string_view action) { engine_.perform(action, now_); }

  Clock::time_point now_{};
  FakeHelper helper_;
  RecordingOutlet outlet_;
  VpnEngine engine_{options(), outlet_, helper_, now_};
};

TEST_F(EngineTimeline, SimulatesWhereNoRealTunnelCanBeBuilt) {
  struct Case {
    const char* name;
    HelperOutcome upAnswer;
    const char* why;
  };
  const Case cases[] = {
      {"no helper", unreachable(), "no helper to build it"},
      {"helper refuses", refused(), "the helper refused the script"},
      {"no wireguard-go",
       answer(kTunnelUnavailableExit, "unavailable: wireguard-go is not installed\n"),
       "this machine cannot run it: unavailable: wireguard-go is not installed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Connecting run({c.upAnswer});
    auto& [now, helper, outlet, engine] = run;
    engine.tick(now + 1499ms);
    engine.tick(now + 1500ms);
    engine.perform("toggle-killswitch", now + 2s);
    engine.perform("disconnect", now + 3s);
    EXPECT_THAT(outlet.statuses, ElementsAre("connecting", "connected fra-wg-007",
                                             "connected fra-wg-007 ks", "idle ks"));
    EXPECT_THAT(outlet.logText, HasSubstr(std::string("no real tunnel (") + c.why +
                                          "): simulating one to relay fra-wg-007"));
    // Nothing was built, so nothing is checked, switched or torn down.
    EXPECT_THAT(helper.stepsAsked(), ElementsAre(TunnelStep::up));
  }
}

TEST_F(EngineTimeline, ConnectedOnlyAfterTheHandshakeAndErrorWhenTheTunnelDies) {
  helper_.answers[TunnelStep::up] = {kBuilt};
  helper_.answers[TunnelStep::check] = {kNoHandshake, kNoHandshake, kHandshake,
                                        answer(0, "link=up\nhandshake=1796696427\n"),
                                        answer(0, "link=missing\nhandshake=0\n")};
  perform("connect");
  after(0ms);
  after(250ms);
  EXPECT_THAT(outlet_.statuses, ElementsAre("connecting"));
  after(250ms);
  EXPECT_THAT(outlet_.statuses, ElementsAre("connecting", "connected relay-ab-_cdef"));
  // Checked every two seconds from then on, no sooner.
  after(1999ms);
  EXPECT_EQ(helper_.asked.size(), 4u);
  after(1ms);
  after(2s);
  EXPECT_THAT(outlet_.statuses.back(), "error");
  EXPECT_THAT(outlet_.logText, HasSubstr("tunnel 0123abcd: lost (the client's link is missing)"));
  // The dead tunnel stays until the user acts: a kill switch set now still
  // goes into its namespace, and quit takes it down.
  perform("toggle-killswitch");
  after(10s);
  perform("quit");
  EXPECT_THAT(outlet_.statuses,
              ElementsAre("connecting", "connected relay-ab-_cdef", "error", "error ks"));
  EXPECT_THAT(helper_.asked.back(), (Step{TunnelStep::down, true}));
  EXPECT_EQ(helper_.asked[helper_.asked.size() - 2], (Step{TunnelStep::killSwitch, true}));
  EXPECT_TRUE(engine_.quitRequested());
}

TEST_F(EngineTimeline, FailuresEndInErrorWithNothingLeftStanding) {
  struct Case {
    const char* name;
    std::deque<HelperOutcome> up, check;
    const char* logged;
  };
  std::deque<HelperOutcome> never(80, kNoHandshake);
  const Case cases[] = {
      {"set-up fails",
       {answer(1, "RTNETLINK answers: File exists\n")},
       {},
       "tunnel 0123abcd: set-up failed (exit 1)"},
      {"no relay key", {answer(0, "\n")}, {}, "set-up failed (exit 0)"},
      {"no handshake", {kBuilt}, never, "no handshake with the relay within 15000 ms (link up)"},
      {"helper gone while waiting",
       {kBuilt},
       std::deque<HelperOutcome>(80, unreachable()),
       "no handshake with the relay within 15000 ms (link unknown)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Connecting run(c.up, c.check);
    auto& [now, helper, outlet, engine] = run;
    for (auto t = 0ms; t <= 16s; t += 250ms) engine.tick(now + t);
    EXPECT_THAT(outlet.statuses, ElementsAre("connecting", "error"));
    EXPECT_THAT(outlet.logText, HasSubstr(c.logged));
    EXPECT_EQ(helper.stepsAsked().back(), TunnelStep::down);
    // Torn down once; disconnect has nothing more to remove.
    engine.perform("disconnect", now + 20s);
    EXPECT_EQ(helper.asked.back().step, TunnelStep::down);
    EXPECT_EQ(std::count(helper.asked.begin(), helper.asked.end(), Step{TunnelStep::down, false}),
              1);
    EXPECT_THAT(outlet.statuses.back(), "idle");
  }
}

TEST_F(EngineTimeline, KillSwitchFollowsWhatTheTunnelReallyHas) {
  helper_.answers[TunnelStep::up] = {kBuilt};
  helper_.answers[TunnelStep::check] = {kHandshake};
  helper_.answers[TunnelStep::killSwitch] = {
      answer(0), answer(1, "Error: Could not process rule\n"), unreachable()};
  perform("connect");
  after(0ms);
  perform("toggle-killswitch");
  perform("toggle-killswitch");  // the table cannot be removed: the switch stays on
  perform("toggle-killswitch");
  EXPECT_THAT(outlet_.statuses,
              ElementsAre("connecting", "connected relay-ab-_cdef", "connected relay-ab-_cdef ks"));
  EXPECT_THAT(outlet_.logText,
              HasSubstr("kill switch stays on: the tunnel's table could not be changed"));
  // A second connect while connected builds nothing; a failed tear-down is tried again.
  helper_.answers[TunnelStep::down] = {unreachable()};
  perform("connect");
  perform("disconnect");
  perform("quit");
  EXPECT_THAT(
      helper_.stepsAsked(),
      ElementsAre(TunnelStep::up, TunnelStep::check, TunnelStep::killSwitch, TunnelStep::killSwitch,
                  TunnelStep::killSwitch, TunnelStep::down, TunnelStep::down));
  EXPECT_THAT(outlet_.logText, HasSubstr("tear-down failed; it is tried again"));
}

}  // namespace
}  // namespace velto::standin
