// The VPN engine of the stand-in main application: turns commands from the
// menu-bar agent or from the console into state changes, bridge frames and
// requests to the privileged helper, which builds a real tunnel where it can
// (tools/tunnel); elsewhere the engine simulates one. Single-threaded: the
// stand-in's event loop makes every call; nothing here blocks except the helper
// requests themselves.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/bridge_wire.h"
#include "common/helper_wire.h"
#include "common/result.h"
#include "tools/standin_tunnel.h"

namespace velto::standin {

using Clock = std::chrono::steady_clock;

struct VpnState {
  std::string status = std::string(statusWord(VpnStatus::idle));  // any word, from the console
  bool killSwitch = false;
  std::optional<std::string> relayId;
};

// What the helper daemon answered.
using HelperAnswer = HelperResponse;

// The answer, or why there is none: the daemon could not be reached (nothing
// was done), or it took the request and its answer was lost or unreadable
// (anything may have been done, the whole script or a part of it).
class HelperOutcome : public Result<HelperAnswer> {
 public:
  // An answer, or an Error for a daemon that could not be reached.
  using Result<HelperAnswer>::Result;
  static HelperOutcome lost(Error why) {
    HelperOutcome outcome(std::move(why));
    outcome.answerLost_ = true;
    return outcome;
  }
  // REQUIRES: !ok().
  bool answerLost() const { return answerLost_; }

 private:
  bool answerLost_ = false;
};

// The privileged helper daemon, as far as the stand-in uses it.
class PrivilegedHelper {
 public:
  virtual ~PrivilegedHelper() = default;
  virtual HelperOutcome ping() = 0;
  virtual HelperOutcome runScript(const std::string& script) = 0;
};

// Where the engine's output goes: frames for every connected agent, log lines.
class EngineOutlet {
 public:
  virtual ~EngineOutlet() = default;
  // One complete bridge line, line feed included.
  virtual void sendFrame(const std::string& line) = 0;
  virtual void log(std::string_view message) = 0;
};

struct EngineOptions {
  std::string relayId = "fra-wg-007";            // the simulated tunnel's relay
  std::chrono::milliseconds connectDelay{1500};  // the simulated tunnel's set-up
  std::string tunnelInstance;                    // names what the real tunnel's scripts make
  std::chrono::milliseconds handshakeTimeout{15000};
  std::chrono::milliseconds handshakePoll{250};
  // How often a connected real tunnel is checked, so a tunnel that died shows.
  std::chrono::milliseconds tunnelCheck{2000};
  // Zero turns the periodic ping frames off.
  std::chrono::milliseconds pingInterval{5000};
  // The up and kill-switch steps do nothing when the helper starts them later
  // than this after they were sent (queued behind other clients' scripts):
  // whoever sent them may have given up on the answer by then. Well short of
  // the helper client's own time-out less the helper's script time-out.
  std::chrono::seconds lateStart{5};
};

// The status line for `state`.
std::string statusFrame(const VpnState& state);

// "connecting ks=false rid=-": a state in the agent's own log wording.
std::string describeState(const VpnState& state);

class VpnEngine {
 public:
  VpnEngine(EngineOptions options, EngineOutlet& outlet, PrivilegedHelper& helper,
            Clock::time_point now);

  // One line from an agent, without its line feed: a command in either member order.
  void handleAgentLine(std::string_view line, Clock::time_point now);

  // One line typed on the console (standard input).
  void handleConsoleLine(std::string_view line, Clock::time_point now);

  // One of the agent's commands.
  void perform(BridgeCommand command, Clock::time_point now);

  // Completes a pending connect, checks the tunnel and sends pings when their
  // time has come.
  void tick(Clock::time_point now);

  // When tick() next has something to do.
  Clock::time_point nextWakeup() const;

  bool quitRequested() const { return quit_; }
  const VpnState& state() const { return state_; }

 private:
  // Console commands beyond the agent's own.
  void setKillSwitchFromConsole(std::string_view wanted, Clock::time_point now);
  void sendConsoleFrame(std::string_view what, const std::string& line);
  void logState();
  // A status word typed on the console, with the relay id given after it or none.
  void sendTypedStatus(std::pair<std::string_view, std::string_view> wordAndRelay);
  void runConsoleScript(std::string_view script);

  void setState(VpnState next);
  // The state with `status` and `relayId`; the kill switch as it is.
  void setStatus(VpnStatus status, std::optional<std::string> relayId);
  void logTunnel(std::string_view message);
  void startTunnel(Clock::time_point now);
  // The tunnel is built with the relay at `relayKey`: checks begin at once.
  void awaitHandshake(std::string relayKey, Clock::time_point now);
  void simulateTunnel(std::string_view why, Clock::time_point now);
  void checkTunnel(Clock::time_point now);
  // A check while no handshake was seen yet; `handshake` as the check reported it.
  void followHandshake(const std::string& handshake, const std::string& link,
                       Clock::time_point now);
  void toggleKillSwitch();
  // Runs the down step when something of the tunnel may exist.
  void tearDownTunnel();
  HelperOutcome runTunnelStep(TunnelStep step, bool killSwitch, std::string_view what);
  void reportHelper(std::string_view what, const HelperOutcome& reply);

  EngineOptions options_;
  EngineOutlet& outlet_;
  PrivilegedHelper& helper_;
  VpnState state_;
  std::optional<Clock::time_point> connectDue_;  // the simulated tunnel comes up
  // The real tunnel: whether its scripts may have left anything to tear down,
  // when to ask for its state next, and until when a handshake is awaited.
  bool tunnelBuilt_ = false;
  std::optional<Clock::time_point> checkDue_;
  std::optional<Clock::time_point> handshakeDeadline_;
  std::string relayKey_;
  Clock::time_point nextPing_;
  bool quit_ = false;
};

}  // namespace velto::standin
