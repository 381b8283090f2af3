// The line protocol between the agent and the main application's bridge: what a
// received line means (parseMenubarLine) and how a command line is written
// (commandMessage). Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace velto {

// The payload of a status line. Each field is absent when the line carried no
// usable value for it.
struct MenubarStatus {
  std::optional<std::string> status;
  std::optional<bool> killSwitch;
  std::optional<std::string> relayId;

  MenubarStatus() = default;
  MenubarStatus(std::optional<std::string> status_, std::optional<bool> killSwitch_,
                std::optional<std::string> relayId_)
      : status(std::move(status_)), killSwitch(killSwitch_), relayId(std::move(relayId_)) {}

  bool operator==(const MenubarStatus&) const = default;
};

// What one received line turned out to be.
class MenubarFrame {
 public:
  struct Status {
    MenubarStatus payload;
    bool operator==(const Status&) const = default;
  };
  struct Unknown {
    std::string type;
    bool operator==(const Unknown&) const = default;
  };
  struct HideApp {
    bool operator==(const HideApp&) const = default;
  };
  struct Ping {
    bool operator==(const Ping&) const = default;
  };
  struct Invalid {
    bool operator==(const Invalid&) const = default;
  };
  using Value = std::variant<Status, Unknown, HideApp, Ping, Invalid>;

  static MenubarFrame status(MenubarStatus s) { return MenubarFrame(Status{std::move(s)}); }
  static MenubarFrame unknown(std::string type) { return MenubarFrame(Unknown{std::move(type)}); }
  static MenubarFrame hideApp() { return MenubarFrame(HideApp{}); }
  static MenubarFrame ping() { return MenubarFrame(Ping{}); }
  static MenubarFrame invalid() { return MenubarFrame(Invalid{}); }

  const Value& value() const { return value_; }
  bool operator==(const MenubarFrame&) const = default;

 private:
  explicit MenubarFrame(Value value) : value_(std::move(value)) {}
  Value value_;
};

// Readable form for test failure messages, e.g. status(connected, true, -).
std::string describe(const MenubarFrame& frame);

// Turns one line (without its line feed) into a frame. Never fails: a line that
// holds a NUL byte or is not well-formed UTF-8, and anything that is not a JSON
// object with a string "type" member, is Invalid.
MenubarFrame parseMenubarLine(std::string_view line);

// The command line for `action`: a compact JSON object {"type":"command",
// "action":...} followed by one line feed. Absent when the action cannot be
// written as JSON text (it is not valid UTF-8).
std::optional<std::string> commandMessage(std::string_view action);

}  // namespace velto
