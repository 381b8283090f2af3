// The line protocol between the menu-bar agent and the main application's
// bridge, both ends of it: one compact JSON object per line, UTF-8, ended by a
// line feed. The agent writes commands and reads status, hide-app and ping
// lines (parseMenubarLine); the bridge (the stand-in's) writes those and reads
// commands. Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace velto {

// The bridge socket's file name, in the user's private directory.
inline constexpr std::string_view kBridgeSocketFileName = "veltovpn-menubar.sock";

// ---------------------------------------------------------------- agent to bridge

// Every command the agent sends. Both ends switch over it without a default,
// so a new command does not build until each of them handles it.
enum class BridgeCommand { connect, disconnect, toggleKillSwitch, showWindow, quit };

// The command's "action" text: "connect", "toggle-killswitch", "show-window" ...
std::string_view actionName(BridgeCommand command);
// The command whose action text is `action`, compared exactly.
std::optional<BridgeCommand> commandNamed(std::string_view action);

// The command line for `command`: a compact JSON object {"type":"command",
// "action":...} followed by one line feed.
std::string commandMessage(BridgeCommand command);

// What the bridge made of one line from an agent.
struct ReceivedCommand {
  enum class Shape { notAnObject, notACommand, command };
  Shape shape = Shape::notAnObject;
  // Shape::command: the action as sent, which may name no command.
  std::string action;
};

// Reads one line from an agent (without its line feed): a command is an object
// whose "type" is "command" and whose "action" is a string, members in any order.
ReceivedCommand parseCommandMessage(std::string_view line);

// ---------------------------------------------------------------- bridge to agent

// The state words the agent gives a meaning; the bridge may send any other,
// which the agent shows as not connected.
enum class VpnStatus { idle, connecting, connected, error };

std::string_view statusWord(VpnStatus status);
std::optional<VpnStatus> statusNamed(std::string_view word);

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

// The lines the bridge sends, line feed included. A status line always carries
// the state word and the kill switch; an absent relay is left out, which clears
// the one the agent shows. Text that is not UTF-8 goes out with U+FFFD in place
// of the bad bytes.
std::string statusMessage(std::string_view status, bool killSwitch,
                          const std::optional<std::string>& relayId);
std::string pingMessage();
std::string hideAppMessage();

// What one line received by the agent turned out to be.
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

}  // namespace velto
