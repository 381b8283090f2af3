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
      VpnState next = state_;
      next.status = statusWord(VpnStatus::connecting);
      next.relayId.reset();
      setState(std::move(next));
      startTunnel(now);
      return;
    }
    case BridgeCommand::disconnect: {
      connectDue_.reset();
      tearDownTunnel();
      VpnState next = state_;
      next.status = statusWord(VpnStatus::idle);
      next.relayId.reset();
      setState(std::move(next));
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
    if (rest.empty()) {
      perform(BridgeCommand::toggleKillSwitch, now);
    } else if (rest != "on" && rest != "off") {
      outlet_.log("kill: expected on or off, got " + std::string(rest));
    } else if ((rest == "on") == state_.killSwitch) {
      outlet_.log("kill switch already " + std::string(rest));
    } else {
      perform(BridgeCommand::toggleKillSwitch, now);
    }
  } else if (word == "hide") {
    outlet_.log("-> hide-app");
    outlet_.sendFrame(hideAppMessage());
  } else if (word == "ping") {
    outlet_.log("-> ping");
    outlet_.sendFrame(pingMessage());
  } else if (word == "status" && rest.empty()) {
    std::string tunnel;
    if (connectDue_) tunnel = " (simulated connect pending)";
    if (handshakeDeadline_)
      tunnel = " (tunnel " + options_.tunnelInstance + ": awaiting the handshake)";
    else if (tunnelBuilt_) tunnel = " (tunnel " + options_.tunnelInstance + " built)";
    outlet_.log("state: " + describeState(state_) + tunnel);
  } else if (statusNamed(word) || word == "status") {
    // A status word sends that state as it stands, without the engine's road to it.
    std::string_view sentWord = word;
    std::string_view relay = rest;
    if (word == "status") std::tie(sentWord, relay) = firstWord(rest);
    VpnState next = state_;
    next.status = std::string(sentWord);
    next.relayId.reset();
    if (!relay.empty()) {
      next.relayId = std::string(relay);
    } else if (statusNamed(sentWord) == VpnStatus::connected) {
      next.relayId = options_.relayId;
    }
    connectDue_.reset();
    handshakeDeadline_.reset();
    checkDue_.reset();
    setState(std::move(next));
  } else if (word == "helper") {
    reportHelper("helper ping", helper_.ping());
  } else if (word == "script") {
    if (rest.empty()) {
      outlet_.log("script: give the script text after the word");
      return;
    }
    reportHelper("helper run-script", helper_.runScript(std::string(rest)));
  } else if (word == "send") {
    outlet_.log("-> raw " + std::string(rest));
    outlet_.sendFrame(std::string(rest) + "\n");
  } else if (word == "help") {
    outlet_.log(std::string(kConsoleHelp));
  } else {
    outlet_.log("unknown console command: " + std::string(word) + " (try help)");
  }
}

void VpnEngine::tick(Clock::time_point now) {
  if (connectDue_ && now >= *connectDue_) {
    connectDue_.reset();
    VpnState next = state_;
    next.status = statusWord(VpnStatus::connected);
    next.relayId = options_.relayId;
    setState(std::move(next));
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
    outlet_.log("tunnel " + options_.tunnelInstance +
                ": the helper took the up step and its answer was lost; tearing down "
                "whatever it built");
    tunnelBuilt_ = true;
    tearDownTunnel();
    VpnState next = state_;
    next.status = statusWord(VpnStatus::error);
    setState(std::move(next));
    return;
  }
  if (!reply.ok()) {
    simulateTunnel("no helper to build it", now);
    return;
  }
  if (!reply->success) {
    simulateTunnel("the helper refused the script", now);
    return;
  }
  if (reply->exitCode == kTunnelUnavailableExit) {
    simulateTunnel("this machine cannot run it: " + reply->text.substr(0, reply->text.find('\n')),
                   now);
    return;
  }
  if (reply->exitCode == kTunnelLateExit) {
    outlet_.log("tunnel " + options_.tunnelInstance +
                ": the helper started the up step more than " +
                std::to_string(options_.lateStart.count()) + " s after it was sent; nothing built");
    VpnState next = state_;
    next.status = statusWord(VpnStatus::error);
    setState(std::move(next));
    return;
  }
  tunnelBuilt_ = true;
  std::map<std::string, std::string> report = readReport(reply->text);
  if (reply->exitCode != 0 || report["relay-key"].empty()) {
    outlet_.log("tunnel " + options_.tunnelInstance + ": set-up failed (exit " +
                std::to_string(reply->exitCode) + "); tearing down what was built");
    tearDownTunnel();
    VpnState next = state_;
    next.status = statusWord(VpnStatus::error);
    setState(std::move(next));
    return;
  }
  relayKey_ = report["relay-key"];
  outlet_.log("tunnel " + options_.tunnelInstance + ": built; waiting up to " +
              std::to_string(options_.handshakeTimeout.count()) +
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
  const bool read = reply.ok() && reply->success && reply->exitCode == 0;
  std::map<std::string, std::string> report;
  if (read) report = readReport(reply->text);
  const std::string link = read ? report["link"] : "unknown";
  VpnState next = state_;
  next.relayId.reset();
  next.status = statusWord(VpnStatus::error);

  if (handshakeDeadline_) {
    const std::string handshake = report["handshake"];
    if (!handshake.empty() && handshake != "0") {
      handshakeDeadline_.reset();
      next.status = statusWord(VpnStatus::connected);
      next.relayId = relayIdFromKey(relayKey_);
      outlet_.log("tunnel " + options_.tunnelInstance + ": handshake with the relay (at " +
                  handshake + "); connected");
      setState(std::move(next));
      checkDue_ = now + options_.tunnelCheck;
    } else if (now >= *handshakeDeadline_) {
      handshakeDeadline_.reset();
      outlet_.log("tunnel " + options_.tunnelInstance + ": no handshake with the relay within " +
                  std::to_string(options_.handshakeTimeout.count()) + " ms (link " + link +
                  "); tearing the tunnel down");
      tearDownTunnel();
      setState(std::move(next));
    } else {
      checkDue_ = now + options_.handshakePoll;
    }
    return;
  }
  if (!read) {
    // The helper may be restarting; the tunnel is not known to be gone.
    std::string why;
    if (!reply) {
      why = std::string(reply.answerLost() ? "answer lost: " : "helper not reachable: ") +
            reply.error().message();
    } else if (!reply->success) {
      why = "refused: " + reply->text;
    } else {
      why = "exit " + std::to_string(reply->exitCode) + ": " +
            reply->text.substr(0, reply->text.find('\n'));
    }
    outlet_.log("tunnel " + options_.tunnelInstance + ": could not check it (" + why + ")");
    checkDue_ = now + options_.tunnelCheck;
    return;
  }
  if (link == "up") {
    checkDue_ = now + options_.tunnelCheck;
    return;
  }
  // Left standing: with the kill switch on, its table keeps blocking the
  // traffic the dead tunnel no longer carries, until disconnect or a new connect.
  outlet_.log("tunnel " + options_.tunnelInstance + ": lost (the client's link is " + link +
              "); the kill switch " +
              (state_.killSwitch ? "keeps blocking traffic outside it" : "is off"));
  setState(std::move(next));
}

void VpnEngine::toggleKillSwitch() {
  const bool wanted = !state_.killSwitch;
  if (tunnelBuilt_) {
    HelperOutcome reply = runTunnelStep(TunnelStep::killSwitch, wanted, "kill switch");
    if (!reply.ok() || !reply->success || reply->exitCode != 0) {
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
  if (reply.ok() && reply->success && reply->exitCode == 0) {
    tunnelBuilt_ = false;
  } else {
    outlet_.log("tunnel " + options_.tunnelInstance +
                ": tear-down failed; it is tried again at the next connect, disconnect or quit");
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
