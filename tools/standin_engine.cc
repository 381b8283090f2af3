// The stand-in's VPN engine: a real tunnel through the helper, or a simulated
// one. Event-loop thread only.
#include "tools/standin_engine.h"

#include <map>
#include <utility>

#include "common/utf8.h"

namespace velto::standin {
namespace {

constexpr std::string_view kConsoleHelp =
    "commands: connect | disconnect | kill [on|off] | show | hide | ping | quit | "
    "status [WORD [RELAY]] | idle | connecting | connected | error | helper | "
    "script TEXT | send RAW-LINE | help";

// Splits "word rest of line" at the first blank.
std::pair<std::string_view, std::string_view> firstWord(std::string_view line) {
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) {
    line.remove_suffix(1);
  }
  size_t blank = line.find_first_of(" \t");
  if (blank == std::string_view::npos) return {line, {}};
  std::string_view rest = line.substr(blank + 1);
  while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
  return {line.substr(0, blank), rest};
}

bool is(const VpnState& state, VpnStatus status) { return state.status == statusWord(status); }

std::string_view firstLine(std::string_view text) { return text.substr(0, text.find('\n')); }

// The step ran to its end and said it did what it was for.
bool stepSucceeded(const HelperOutcome& reply) {
  return reply.ok() && reply->success && reply->exitCode == 0;
}

// Why the up step's answer leaves the engine to simulate the tunnel; nothing
// when a real one was attempted.
std::optional<std::string> whyNoRealTunnel(const HelperOutcome& reply) {
  if (!reply.ok()) return "no helper to build it";
  if (!reply->success) return "the helper refused the script";
  if (reply->exitCode == kTunnelUnavailableExit) {
    return "this machine cannot run it: " + std::string(firstLine(reply->text));
  }
  return std::nullopt;
}

// Why a check step told nothing about the tunnel.
std::string whyUnchecked(const HelperOutcome& reply) {
  if (!reply) {
    return std::string(reply.answerLost() ? "answer lost: " : "helper not reachable: ") +
           reply.error().message();
  }
  if (!reply->success) return "refused: " + reply->text;
  return "exit " + std::to_string(reply->exitCode) + ": " + std::string(firstLine(reply->text));
}

}  // namespace

std::string statusFrame(const VpnState& state) {
  return statusMessage(state.status, state.killSwitch, state.relayId);
}

std::string describeState(const VpnState& state) {
  return state.status + " ks=" + (state.killSwitch ? "true" : "false") +
         " rid=" + state.relayId.value_or("-");
}

VpnEngine::VpnEngine(EngineOptions options, EngineOutlet& outlet, PrivilegedHelper& helper,
                     Clock::time_point now)
    : options_(std::move(options)),
      outlet_(outlet),
      helper_(helper),
      nextPing_(now + options_.pingInterval) {}

void VpnEngine::handleAgentLine(std::string_view line, Clock::time_point now) {
  const ReceivedCommand received = parseCommandMessage(line);
  const std::string shown(line.substr(0, 120));
  switch (received.shape) {
    case ReceivedCommand::Shape::notAnObject:
      outlet_.log("ignored line from agent (not a JSON object): " + shown);
      return;
    case ReceivedCommand::Shape::notACommand:
      outlet_.log("ignored line from agent (not a command): " + shown);
      return;
    case ReceivedCommand::Shape::command:
      break;
  }
  outlet_.log("agent -> command " + received.action);
  if (std::optional<BridgeCommand> command = commandNamed(received.action)) {
    perform(*command, now);
  } else {
    outlet_.log("unknown action, ignored: " + received.action);
  }
}

void VpnEngine::perform(BridgeCommand command, Clock::time_point now) {
  switch (command) {
    case BridgeCommand::connect: {
      if (is(state_, VpnStatus::connected) || is(state_, VpnStatus::connecting)) {
        outlet_.log("connect: already " + state_.status);
        return;
      }
      setStatus(VpnStatus::connecting, std::nullopt);
      startTunnel(now);
      return;
    }
    case BridgeCommand::disconnect: {
      connectDue_.reset();
      tearDownTunnel();
      setStatus(VpnStatus::idle, std::nullopt);
      return;
    }
    case BridgeCommand::toggleKillSwitch:
      toggleKillSwitch();
      return;
    case BridgeCommand::showWindow:
      outlet_.log("show-window: the main window would come to the front now");
      return;
    case BridgeCommand::quit:
      outlet_.log("quit: closing the bridge and exiting");
      tearDownTunnel();
      quit_ = true;
      return;
  }
}

void VpnEngine::handleConsoleLine(std::string_view line, Clock::time_point now) {
  auto [word, rest] = firstWord(line);
  if (word.empty()) return;
  // Only send passes bytes on as they are, to try the agent with them.
  if (const size_t valid = validUtf8Prefix(line); valid != line.size() && word != "send") {
    outlet_.log("console: ignored a line that is not UTF-8 (bad byte at offset " +
                std::to_string(valid) + ")");
    return;
  }
  if (std::optional<BridgeCommand> command = commandNamed(word)) {
    perform(*command, now);
  } else if (word == "show") {
    perform(BridgeCommand::showWindow, now);
  } else if (word == "kill" || word == "killswitch") {
    setKillSwitchFromConsole(rest, now);
  } else if (word == "hide") {
    sendConsoleFrame("hide-app", hideAppMessage());
  } else if (word == "ping") {
    sendConsoleFrame("ping", pingMessage());
  } else if (word == "status" && rest.empty()) {
    logState();
  } else if (word == "status") {
    sendTypedStatus(firstWord(rest));
  } else if (statusNamed(word)) {
    sendTypedStatus({word, rest});
  } else if (word == "helper") {
    reportHelper("helper ping", helper_.ping());
  } else if (word == "script") {
    runConsoleScript(rest);
  } else if (word == "send") {
    sendConsoleFrame("raw " + std::string(rest), std::string(rest) + "\n");
  } else if (word == "help") {
    outlet_.log(std::string(kConsoleHelp));
  } else {
    outlet_.log("unknown console command: " + std::string(word) + " (try help)");
  }
}

void VpnEngine::setKillSwitchFromConsole(std::string_view wanted, Clock::time_point now) {
  if (wanted.empty()) {
    perform(BridgeCommand::toggleKillSwitch, now);
  } else if (wanted != "on" && wanted != "off") {
    outlet_.log("kill: expected on or off, got " + std::string(wanted));
  } else if ((wanted == "on") == state_.killSwitch) {
    outlet_.log("kill switch already " + std::string(wanted));
  } else {
    perform(BridgeCommand::toggleKillSwitch, now);
  }
}

void VpnEngine::sendConsoleFrame(std::string_view what, const std::string& line) {
  outlet_.log("-> " + std::string(what));
  outlet_.sendFrame(line);
}

void VpnEngine::logState() {
  std::string tunnel;
  if (connectDue_) tunnel = " (simulated connect pending)";
  if (handshakeDeadline_)
    tunnel = " (tunnel " + options_.tunnelInstance + ": awaiting the handshake)";
  else if (tunnelBuilt_) tunnel = " (tunnel " + options_.tunnelInstance + " built)";
  outlet_.log("state: " + describeState(state_) + tunnel);
}

void VpnEngine::sendTypedStatus(std::pair<std::string_view, std::string_view> wordAndRelay) {
  const auto [word, relay] = wordAndRelay;
  // The word is sent as the state stands, without the engine's road to it.
  VpnState next = state_;
  next.status = std::string(word);
  next.relayId.reset();
  if (!relay.empty()) {
    next.relayId = std::string(relay);
  } else if (statusNamed(word) == VpnStatus::connected) {
    next.relayId = options_.relayId;
  }
  connectDue_.reset();
  handshakeDeadline_.reset();
  checkDue_.reset();
  setState(std::move(next));
}

void VpnEngine::runConsoleScript(std::string_view script) {
  if (script.empty()) {
    outlet_.log("script: give the script text after the word");
    return;
  }
  reportHelper("helper run-script", helper_.runScript(std::string(script)));
}

void VpnEngine::tick(Clock::time_point now) {
  if (connectDue_ && now >= *connectDue_) {
    connectDue_.reset();
    setStatus(VpnStatus::connected, options_.relayId);
  }
  if (checkDue_ && now >= *checkDue_) checkTunnel(now);
  if (options_.pingInterval.count() > 0 && now >= nextPing_) {
    outlet_.sendFrame(pingMessage());
    nextPing_ = now + options_.pingInterval;
  }
}

Clock::time_point VpnEngine::nextWakeup() const {
  Clock::time_point next = options_.pingInterval.count() > 0 ? nextPing_ : Clock::time_point::max();
  for (const auto& due : {connectDue_, checkDue_}) {
    if (due && *due < next) next = *due;
  }
  return next;
}

void VpnEngine::setState(VpnState next) {
  state_ = std::move(next);
  outlet_.log("-> status " + describeState(state_));
  outlet_.sendFrame(statusFrame(state_));
}

void VpnEngine::setStatus(VpnStatus status, std::optional<std::string> relayId) {
  VpnState next = state_;
  next.status = statusWord(status);
  next.relayId = std::move(relayId);
  setState(std::move(next));
}

void VpnEngine::logTunnel(std::string_view message) {
  outlet_.log("tunnel " + options_.tunnelInstance + ": " + std::string(message));
}

HelperOutcome VpnEngine::runTunnelStep(TunnelStep step, bool killSwitch, std::string_view what) {
  TunnelParameters parameters{options_.tunnelInstance, killSwitch, std::nullopt};
  // Late, these two would change the tunnel behind the engine's back; a late
  // check or down does no harm.
  if (step == TunnelStep::up || step == TunnelStep::killSwitch) {
    parameters.notAfter =
        std::chrono::duration_cast<std::chrono::seconds>(
            (std::chrono::system_clock::now() + options_.lateStart).time_since_epoch())
            .count();
  }
  HelperOutcome reply = helper_.runScript(tunnelScript(step, parameters));
  if (!what.empty()) reportHelper("helper run-script (" + std::string(what) + ")", reply);
  return reply;
}

void VpnEngine::startTunnel(Clock::time_point now) {
  // A tunnel that was lost is still there, kill switch and all, until now.
  tearDownTunnel();
  HelperOutcome reply = runTunnelStep(TunnelStep::up, state_.killSwitch, "tunnel up");
  if (!reply.ok() && reply.answerLost()) {
    logTunnel(
        "the helper took the up step and its answer was lost; tearing down whatever it "
        "built");
    tunnelBuilt_ = true;
    tearDownTunnel();
    setStatus(VpnStatus::error, state_.relayId);
    return;
  }
  if (std::optional<std::string> why = whyNoRealTunnel(reply)) {
    simulateTunnel(*why, now);
    return;
  }
  if (reply->exitCode == kTunnelLateExit) {
    logTunnel("the helper started the up step more than " +
              std::to_string(options_.lateStart.count()) + " s after it was sent; nothing built");
    setStatus(VpnStatus::error, state_.relayId);
    return;
  }
  tunnelBuilt_ = true;
  std::map<std::string, std::string> report = readReport(reply->text);
  if (reply->exitCode != 0 || report["relay-key"].empty()) {
    logTunnel("set-up failed (exit " + std::to_string(reply->exitCode) +
              "); tearing down what was built");
    tearDownTunnel();
    setStatus(VpnStatus::error, state_.relayId);
    return;
  }
  awaitHandshake(report["relay-key"], now);
}

void VpnEngine::awaitHandshake(std::string relayKey, Clock::time_point now) {
  relayKey_ = std::move(relayKey);
  logTunnel("built; waiting up to " + std::to_string(options_.handshakeTimeout.count()) +
            " ms for the handshake with the relay");
  handshakeDeadline_ = now + options_.handshakeTimeout;
  checkDue_ = now;
}

void VpnEngine::simulateTunnel(std::string_view why, Clock::time_point now) {
  outlet_.log("no real tunnel (" + std::string(why) + "): simulating one to relay " +
              options_.relayId);
  connectDue_ = now + options_.connectDelay;
}

void VpnEngine::checkTunnel(Clock::time_point now) {
  checkDue_.reset();
  HelperOutcome reply = runTunnelStep(TunnelStep::check, state_.killSwitch, "");
  const bool read = stepSucceeded(reply);
  std::map<std::string, std::string> report;
  if (read) report = readReport(reply->text);
  const std::string link = read ? report["link"] : "unknown";
  if (handshakeDeadline_) {
    followHandshake(report["handshake"], link, now);
    return;
  }
  if (!read) {
    // The helper may be restarting; the tunnel is not known to be gone.
    logTunnel("could not check it (" + whyUnchecked(reply) + ")");
    checkDue_ = now + options_.tunnelCheck;
    return;
  }
  if (link == "up") {
    checkDue_ = now + options_.tunnelCheck;
    return;
  }
  // Left standing: with the kill switch on, its table keeps blocking the
  // traffic the dead tunnel no longer carries, until disconnect or a new connect.
  logTunnel("lost (the client's link is " + link + "); the kill switch " +
            (state_.killSwitch ? "keeps blocking traffic outside it" : "is off"));
  setStatus(VpnStatus::error, std::nullopt);
}

void VpnEngine::followHandshake(const std::string& handshake, const std::string& link,
                                Clock::time_point now) {
  if (!handshake.empty() && handshake != "0") {
    handshakeDeadline_.reset();
    logTunnel("handshake with the relay (at " + handshake + "); connected");
    setStatus(VpnStatus::connected, relayIdFromKey(relayKey_));
    checkDue_ = now + options_.tunnelCheck;
  } else if (now >= *handshakeDeadline_) {
    handshakeDeadline_.reset();
    logTunnel("no handshake with the relay within " +
              std::to_string(options_.handshakeTimeout.count()) + " ms (link " + link +
              "); tearing the tunnel down");
    tearDownTunnel();
    setStatus(VpnStatus::error, std::nullopt);
  } else {
    checkDue_ = now + options_.handshakePoll;
  }
}

void VpnEngine::toggleKillSwitch() {
  const bool wanted = !state_.killSwitch;
  if (tunnelBuilt_) {
    HelperOutcome reply = runTunnelStep(TunnelStep::killSwitch, wanted, "kill switch");
    if (!stepSucceeded(reply)) {
      outlet_.log(std::string("kill switch stays ") + (state_.killSwitch ? "on" : "off") +
                  ": the tunnel's table could not be changed");
      return;
    }
  }
  VpnState next = state_;
  next.killSwitch = wanted;
  setState(std::move(next));
}

void VpnEngine::tearDownTunnel() {
  handshakeDeadline_.reset();
  checkDue_.reset();
  if (!tunnelBuilt_) return;
  HelperOutcome reply = runTunnelStep(TunnelStep::down, state_.killSwitch, "tunnel down");
  if (stepSucceeded(reply)) {
    tunnelBuilt_ = false;
  } else {
    logTunnel("tear-down failed; it is tried again at the next connect, disconnect or quit");
  }
}

void VpnEngine::reportHelper(std::string_view what, const HelperOutcome& reply) {
  std::string message(what);
  if (!reply.ok() && reply.answerLost()) {
    message += ": answer lost, outcome unknown (" + reply.error().message() + ")";
  } else if (!reply.ok()) {
    message += ": helper not reachable (" + reply.error().message() + ")";
  } else if (!reply->success) {
    message += ": refused: " + reply->text;
  } else if (what.find("run-script") != std::string_view::npos) {
    message += ": exit=" + std::to_string(reply->exitCode) + " output:";
    std::string_view output = reply->text;
    if (output.empty()) message += " (none)";
    while (!output.empty()) {
      size_t end = output.find('\n');
      message += "\n    | ";
      message += output.substr(0, end);
      if (end == std::string_view::npos) break;
      output.remove_prefix(end + 1);
    }
  } else {
    message += ": pong from helper version " + reply->text;
  }
  outlet_.log(message);
}

}  // namespace velto::standin
