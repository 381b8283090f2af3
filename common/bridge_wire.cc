// Both ends of the bridge's line protocol. Any thread; JSON errors are caught
// here and never leave these functions.
#include "common/bridge_wire.h"

#include <nlohmann/json.hpp>

#include "common/enum_names.h"
#include "common/utf8.h"

namespace velto {

namespace {

using nlohmann::json;

// The "type" of each kind of line.
constexpr char kCommandType[] = "command";
constexpr char kStatusType[] = "status";
constexpr char kHideAppType[] = "hide-app";
constexpr char kPingType[] = "ping";

// The bridge's lines. Text from the stand-in's command line may be any bytes;
// the writer must not throw on them.
std::string bridgeLine(const json& object) {
  return object.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::optional<std::string> stringMember(const json& object, const char* name) {
  auto it = object.find(name);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

// true/false, and the numbers 1 and 0 as the bridge's JavaScript side may
// send them; everything else is no usable value.
std::optional<bool> killSwitchMember(const json& object) {
  auto it = object.find("killSwitch");
  if (it == object.end()) return std::nullopt;
  if (it->is_boolean()) return it->get<bool>();
  if (it->is_number()) {
    double n = it->get<double>();
    if (n == 1) return true;
    if (n == 0) return false;
  }
  return std::nullopt;
}

}  // namespace

std::string_view actionName(BridgeCommand command) {
  switch (command) {
    case BridgeCommand::connect:
      return "connect";
    case BridgeCommand::disconnect:
      return "disconnect";
    case BridgeCommand::toggleKillSwitch:
      return "toggle-killswitch";
    case BridgeCommand::showWindow:
      return "show-window";
    case BridgeCommand::quit:
      return "quit";
  }
  return {};
}

std::optional<BridgeCommand> commandNamed(std::string_view action) {
  return valueNamed<BridgeCommand>(action, actionName);
}

std::string commandMessage(BridgeCommand command) {
  // Every action text is ASCII: the writer cannot fail on it.
  json message = {{"type", kCommandType}, {"action", std::string(actionName(command))}};
  return message.dump() + "\n";
}

ReceivedCommand parseCommandMessage(std::string_view line) {
  json message = json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!message.is_object()) return {ReceivedCommand::Shape::notAnObject, {}};
  auto type = message.find("type");
  auto action = message.find("action");
  if (type == message.end() || *type != kCommandType || action == message.end() ||
      !action->is_string()) {
    return {ReceivedCommand::Shape::notACommand, {}};
  }
  return {ReceivedCommand::Shape::command, action->get<std::string>()};
}

std::string_view statusWord(VpnStatus status) {
  switch (status) {
    case VpnStatus::idle:
      return "idle";
    case VpnStatus::connecting:
      return "connecting";
    case VpnStatus::connected:
      return "connected";
    case VpnStatus::error:
      return "error";
  }
  return {};
}

std::optional<VpnStatus> statusNamed(std::string_view word) {
  return valueNamed<VpnStatus>(word, statusWord);
}

std::string statusMessage(std::string_view status, bool killSwitch,
                          const std::optional<std::string>& relayId) {
  json frame = {{"type", kStatusType}, {"status", std::string(status)}, {"killSwitch", killSwitch}};
  if (relayId) frame["relayId"] = *relayId;
  return bridgeLine(frame);
}

std::string pingMessage() { return bridgeLine({{"type", kPingType}}); }

std::string hideAppMessage() { return bridgeLine({{"type", kHideAppType}}); }

MenubarFrame parseMenubarLine(std::string_view line) {
  // The line is judged as a whole: a bad byte is never skipped, so that
  // {"type":"st\xC0atus"} cannot become a status line. The JSON reader would
  // take a NUL for the end of the text and ignore what follows it.
  if (line.find('\0') != std::string_view::npos || !isValidUtf8(line)) {
    return MenubarFrame::invalid();
  }
  // The non-throwing parse rejects trailing text too: strict mode wants one
  // JSON text and nothing but whitespace after it.
  json value = json::parse(line.begin(), line.end(), /*cb=*/nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded() || !value.is_object()) return MenubarFrame::invalid();
  std::optional<std::string> type = stringMember(value, "type");
  if (!type) return MenubarFrame::invalid();

  if (*type == kStatusType) {
    return MenubarFrame::status(MenubarStatus(
        stringMember(value, "status"), killSwitchMember(value), stringMember(value, "relayId")));
  }
  if (*type == kHideAppType) return MenubarFrame::hideApp();
  if (*type == kPingType) return MenubarFrame::ping();
  return MenubarFrame::unknown(std::move(*type));
}

std::string describe(const MenubarFrame& frame) {
  auto optText = [](const std::optional<std::string>& s) {
    return s ? "\"" + *s + "\"" : std::string("-");
  };
  struct Visitor {
    decltype(optText)& text;
    std::string operator()(const MenubarFrame::Status& s) const {
      std::string ks = s.payload.killSwitch ? (*s.payload.killSwitch ? "true" : "false") : "-";
      return "status(" + text(s.payload.status) + ", " + ks + ", " + text(s.payload.relayId) + ")";
    }
    std::string operator()(const MenubarFrame::Unknown& u) const {
      return "unknown(\"" + u.type + "\")";
    }
    std::string operator()(const MenubarFrame::HideApp&) const { return "hideApp"; }
    std::string operator()(const MenubarFrame::Ping&) const { return "ping"; }
    std::string operator()(const MenubarFrame::Invalid&) const { return "invalid"; }
  };
  return std::visit(Visitor{optText}, frame.value());
}

}  // namespace velto
