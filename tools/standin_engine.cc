// The stand-in's simulated VPN engine. Event-loop thread only.
#include "tools/standin_engine.h"

#include <nlohmann/json.hpp>

#include <utility>

namespace velto::standin {
namespace {

using nlohmann::json;

constexpr std::string_view kConsoleHelp =
    "commands: connect | disconnect | kill [on|off] | show | hide | ping | quit | "
    "status [WORD [RELAY]] | idle | connecting | connected | error | helper | "
    "script TEXT | send RAW-LINE | help";

std::string frameLine(const json& object) { return object.dump() + "\n"; }

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

bool isStatusWord(std::string_view word) {
  return word == "idle" || word == "connecting" || word == "connected" || word == "error";
}

}  // namespace

std::string statusFrame(const VpnState& state) {
  json frame = {{"type", "status"}, {"status", state.status}, {"killSwitch", state.killSwitch}};
  // An absent relay clears the one the agent shows.
  if (state.relayId) frame["relayId"] = *state.relayId;
  return frameLine(frame);
}

std::string pingFrame() { return frameLine({{"type", "ping"}}); }

std::string hideAppFrame() { return frameLine({{"type", "hide-app"}}); }

std::string describeState(const VpnState& state) {
  return state.status + " ks=" + (state.killSwitch ? "true" : "false") +
         " rid=" + state.relayId.value_or("-");
}

std::string connectScript(const std::string& relayId) {
  // Single-quoted for bash, so any relay id given on the command line stays data.
  std::string quoted = "'";
  for (char c : relayId) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += "'";
  return "relay=" + quoted +
         "\n"
         "echo \"tunnel to $relay would be set up here\"\n"
         "echo \"running as $(id -un)\"\n";
}

VpnEngine::VpnEngine(EngineOptions options, EngineOutlet& outlet, PrivilegedHelper& helper,
                     Clock::time_point now)
    : options_(std::move(options)),
      outlet_(outlet),
      helper_(helper),
      nextPing_(now + options_.pingInterval) {}

void VpnEngine::handleAgentLine(std::string_view line, Clock::time_point now) {
  json message = json::parse(line, nullptr, /*allow_exceptions=*/false);
  const std::string shown(line.substr(0, 120));
  if (!message.is_object()) {
    outlet_.log("ignored line from agent (not a JSON object): " + shown);
    return;
  }
  auto type = message.find("type");
  auto action = message.find("action");
  if (type == message.end() || *type != "command" || action == message.end() ||
      !action->is_string()) {
    outlet_.log("ignored line from agent (not a command): " + shown);
    return;
  }
  const std::string name = action->get<std::string>();
  outlet_.log("agent -> command " + name);
  perform(name, now);
}

void VpnEngine::perform(std::string_view action, Clock::time_point now) {
  if (action == "connect") {
    if (state_.status == "connected" || state_.status == "connecting") {
      outlet_.log("connect: already " + state_.status);
      return;
    }
    VpnState next = state_;
    next.status = "connecting";
    next.relayId.reset();
    setState(std::move(next));
    runConnectScript();
    connectDue_ = now + options_.connectDelay;
  } else if (action == "disconnect") {
    connectDue_.reset();
    VpnState next = state_;
    next.status = "idle";
    next.relayId.reset();
    setState(std::move(next));
  } else if (action == "toggle-killswitch") {
    VpnState next = state_;
    next.killSwitch = !next.killSwitch;
    setState(std::move(next));
  } else if (action == "show-window") {
    outlet_.log("show-window: the main window would come to the front now");
  } else if (action == "quit") {
    outlet_.log("quit: closing the bridge and exiting");
    quit_ = true;
  } else {
    outlet_.log("unknown action, ignored: " + std::string(action));
  }
}

void VpnEngine::handleConsoleLine(std::string_view line, Clock::time_point now) {
  auto [word, rest] = firstWord(line);
  if (word.empty()) return;
  if (word == "connect" || word == "disconnect" || word == "quit" || word == "show-window" ||
      word == "toggle-killswitch") {
    perform(word, now);
  } else if (word == "show") {
    perform("show-window", now);
  } else if (word == "kill" || word == "killswitch") {
    if (rest.empty()) {
      perform("toggle-killswitch", now);
    } else if (rest != "on" && rest != "off") {
      outlet_.log("kill: expected on or off, got " + std::string(rest));
    } else if ((rest == "on") == state_.killSwitch) {
      outlet_.log("kill switch already " + std::string(rest));
    } else {
      perform("toggle-killswitch", now);
    }
  } else if (word == "hide") {
    outlet_.log("-> hide-app");
    outlet_.sendFrame(hideAppFrame());
  } else if (word == "ping") {
    outlet_.log("-> ping");
    outlet_.sendFrame(pingFrame());
  } else if (word == "status" && rest.empty()) {
    outlet_.log("state: " + describeState(state_) + (connectDue_ ? " (connect pending)" : ""));
  } else if (isStatusWord(word) || word == "status") {
    // A status word sends that state as it stands, without the engine's road to it.
    std::string_view statusWord = word;
    std::string_view relay = rest;
    if (word == "status") std::tie(statusWord, relay) = firstWord(rest);
    VpnState next = state_;
    next.status = std::string(statusWord);
    next.relayId.reset();
    if (!relay.empty()) {
      next.relayId = std::string(relay);
    } else if (statusWord == "connected") {
      next.relayId = options_.relayId;
    }
    connectDue_.reset();
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
    next.status = "connected";
    next.relayId = options_.relayId;
    setState(std::move(next));
  }
  if (options_.pingInterval.count() > 0 && now >= nextPing_) {
    outlet_.sendFrame(pingFrame());
    nextPing_ = now + options_.pingInterval;
  }
}

Clock::time_point VpnEngine::nextWakeup() const {
  Clock::time_point next = options_.pingInterval.count() > 0 ? nextPing_ : Clock::time_point::max();
  if (connectDue_ && *connectDue_ < next) next = *connectDue_;
  return next;
}

void VpnEngine::setState(VpnState next) {
  state_ = std::move(next);
  outlet_.log("-> status " + describeState(state_));
  outlet_.sendFrame(statusFrame(state_));
}

void VpnEngine::runConnectScript() {
  HelperOutcome reply = helper_.runScript(connectScript(options_.relayId));
  reportHelper("helper run-script (connect)", reply);
  if (!reply.answered) outlet_.log("connecting without the privileged step");
}

void VpnEngine::reportHelper(std::string_view what, const HelperOutcome& reply) {
  std::string message(what);
  if (!reply.answered) {
    message += ": helper not reachable (" + reply.text + ")";
  } else if (!reply.success) {
    message += ": refused: " + reply.text;
  } else if (what.find("run-script") != std::string_view::npos) {
    message += ": exit=" + std::to_string(reply.exitCode) + " output:";
    std::string_view output = reply.text;
    if (output.empty()) message += " (none)";
    while (!output.empty()) {
      size_t end = output.find('\n');
      message += "\n    | ";
      message += output.substr(0, end);
      if (end == std::string_view::npos) break;
      output.remove_prefix(end + 1);
    }
  } else {
    message += ": pong from helper version " + reply.text;
  }
  outlet_.log(message);
}

}  // namespace velto::standin
