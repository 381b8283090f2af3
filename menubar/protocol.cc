// Parsing of bridge lines and writing of command lines. Any thread.
#include "menubar/protocol.h"

#include <nlohmann/json.hpp>

#include "common/utf8.h"

namespace velto {

namespace {

using nlohmann::json;

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

  if (*type == "status") {
    return MenubarFrame::status(MenubarStatus(
        stringMember(value, "status"), killSwitchMember(value), stringMember(value, "relayId")));
  }
  if (*type == "hide-app") return MenubarFrame::hideApp();
  if (*type == "ping") return MenubarFrame::ping();
  return MenubarFrame::unknown(std::move(*type));
}

std::optional<std::string> commandMessage(std::string_view action) {
  json message = {{"type", "command"}, {"action", std::string(action)}};
  try {
    // dump() throws on text that is not valid UTF-8; such an action is not sent.
    return message.dump() + "\n";
  } catch (const json::exception&) {
    return std::nullopt;
  }
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
