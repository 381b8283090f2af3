// Both ends of the bridge's lines: what each end writes, the other reads as meant.
#include "common/bridge_wire.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace velto {
namespace {

MenubarFrame status(std::optional<std::string> s, std::optional<bool> ks,
                    std::optional<std::string> rid) {
  return MenubarFrame::status(MenubarStatus(std::move(s), ks, std::move(rid)));
}

TEST(ParseMenubarLine, EveryKindOfLine) {
  struct Case {
    std::string line;
    MenubarFrame expected;
  };
  const Case cases[] = {
      // status frames: each field taken on its own, wrong types leave it absent
      {R"({"type":"status"})", status({}, {}, {})},
      {R"({"type":"status","status":"connected","killSwitch":true,"relayId":"de-fra-1","x":[1,{}]})",
       status("connected", true, "de-fra-1")},
      {R"({"relayId":"r","killSwitch":false,"type":"status","status":"idle"})",
       status("idle", false, "r")},
      {R"({"type":"status","killSwitch":"true"})", status({}, {}, {})},
      {R"({"type":"status","killSwitch":1})", status({}, true, {})},
      {R"({"type":"status","killSwitch":1.0})", status({}, true, {})},
      {R"({"type":"status","killSwitch":0})", status({}, false, {})},
      {R"({"type":"status","killSwitch":-0.0})", status({}, false, {})},
      {R"({"type":"status","killSwitch":2})", status({}, {}, {})},
      {R"({"type":"status","killSwitch":null})", status({}, {}, {})},
      {R"({"type":"status","status":5,"killSwitch":true,"relayId":"r"})", status({}, true, "r")},
      {R"({"type":"status","relayId":""})", status({}, {}, "")},
      {R"({"type":"status","status":""})", status("", {}, {})},
      {R"({"type":"status","relayId":7})", status({}, {}, {})},
      {"{\"type\":\"status\",\"status\":\"connected\"}\r", status("connected", {}, {})},
      // the other types, compared exactly
      {R"({"type":"hide-app"})", MenubarFrame::hideApp()},
      {R"({"type":"ping"})", MenubarFrame::ping()},
      {R"(  {"type":"ping","n":1,"o":{"a":[]},"z":null}  )", MenubarFrame::ping()},
      {R"({"type":"STATUS"})", MenubarFrame::unknown("STATUS")},
      {R"({"type":""})", MenubarFrame::unknown("")},
      {R"({"type":"caf\u00e9"})", MenubarFrame::unknown("caf\xC3\xA9")},
      // invalid: not JSON, not an object, no string "type", trailing text
      {R"({"type":5})", MenubarFrame::invalid()},
      {R"({"type":["status"]})", MenubarFrame::invalid()},
      {R"({"status":"connected"})", MenubarFrame::invalid()},
      {"[]", MenubarFrame::invalid()},
      {"", MenubarFrame::invalid()},
      {R"({"type":"ping"} x)", MenubarFrame::invalid()},
      {R"({"type":"ping")", MenubarFrame::invalid()},
      // invalid as a whole: a NUL or a byte that is not UTF-8, wherever it stands
      {"{\"type\":\"p\xFFing\"}", MenubarFrame::invalid()},
      {"{\"type\":\"st\xC0"
       "atus\"}",
       MenubarFrame::invalid()},
      {"{\"type\":\"ping\"} \xE2\x80", MenubarFrame::invalid()},
      {std::string("{\"type\":\"ping\"}\0{\"x\"", 20), MenubarFrame::invalid()},
  };
  for (const Case& c : cases) {
    MenubarFrame actual = parseMenubarLine(c.line);
    EXPECT_EQ(actual, c.expected) << "line: " << c.line << "\n  got: " << describe(actual)
                                  << "\n  want: " << describe(c.expected);
  }
}

TEST(MenubarStatus, AbsentNeverEqualsPresent) {
  EXPECT_EQ(MenubarStatus({}, {}, {}), MenubarStatus());
  EXPECT_NE(MenubarStatus({}, {}, ""), MenubarStatus());
  EXPECT_NE(MenubarStatus({}, false, {}), MenubarStatus());
  EXPECT_NE(MenubarFrame::unknown("ping"), MenubarFrame::ping());
}

// Each command written by the agent is one compact line of two members, and the
// bridge reads back the command it was.
TEST(CommandMessage, EveryCommandGoesOutAsOneCompactLineTheBridgeReadsBack) {
  const std::pair<BridgeCommand, const char*> commands[] = {
      {BridgeCommand::connect, "connect"},
      {BridgeCommand::disconnect, "disconnect"},
      {BridgeCommand::toggleKillSwitch, "toggle-killswitch"},
      {BridgeCommand::showWindow, "show-window"},
      {BridgeCommand::quit, "quit"}};
  for (const auto& [command, action] : commands) {
    const std::string line = commandMessage(command);
    ASSERT_EQ(line.back(), '\n');
    std::string text = line.substr(0, line.size() - 1);
    EXPECT_EQ(text.find_first_of(" \r\n\t"), std::string::npos) << text;
    EXPECT_EQ(nlohmann::json::parse(text),
              (nlohmann::json{{"type", "command"}, {"action", action}}));
    ReceivedCommand received = parseCommandMessage(text);
    EXPECT_EQ(received.shape, ReceivedCommand::Shape::command);
    EXPECT_EQ(commandNamed(received.action), command) << action;
  }
  EXPECT_EQ(commandNamed("Connect"), std::nullopt);
  EXPECT_EQ(commandNamed(""), std::nullopt);
}

TEST(ParseCommandMessage, TellsObjectsCommandsAndTheirActions) {
  using Shape = ReceivedCommand::Shape;
  struct Case {
    std::string line;
    Shape shape;
    std::string action;
  };
  const Case cases[] = {
      {R"({"action":"quit","type":"command"})", Shape::command, "quit"},
      {R"({"type":"command","action":"reconnect","x":1})", Shape::command, "reconnect"},
      {R"({"type":"command","action":""})", Shape::command, ""},
      {R"({"type":"command","action":5})", Shape::notACommand, ""},
      {R"({"type":"command"})", Shape::notACommand, ""},
      {R"({"type":"Command","action":"quit"})", Shape::notACommand, ""},
      {R"({"type":7,"action":"quit"})", Shape::notACommand, ""},
      {R"(["command"])", Shape::notAnObject, ""},
      {"", Shape::notAnObject, ""},
      {R"({"type":"command","action":"quit"} x)", Shape::notAnObject, ""},
      {"{\"type\":\"command\",\"action\":\"q\xFFuit\"}", Shape::notAnObject, ""},
  };
  for (const Case& c : cases) {
    ReceivedCommand received = parseCommandMessage(c.line);
    EXPECT_EQ(received.shape, c.shape) << c.line;
    EXPECT_EQ(received.action, c.action) << c.line;
  }
}

// What the bridge writes, the agent reads as meant; a relay named on the stand-in's
// command line may be any bytes, and the line still goes out.
TEST(BridgeMessages, AreReadByTheAgentAsMeant) {
  EXPECT_EQ(statusMessage("connected", false, std::string("fra\xff")),
            "{\"killSwitch\":false,\"relayId\":\"fra\xef\xbf\xbd\",\"status\":\"connected\","
            "\"type\":\"status\"}\n");
  struct Case {
    std::string line;
    MenubarFrame expected;
  };
  const Case cases[] = {
      {statusMessage("connecting", true, std::nullopt), status("connecting", true, {})},
      {statusMessage("connected", false, "r-1"), status("connected", false, "r-1")},
      {pingMessage(), MenubarFrame::ping()},
      {hideAppMessage(), MenubarFrame::hideApp()},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.line.back(), '\n');
    EXPECT_EQ(parseMenubarLine(c.line.substr(0, c.line.size() - 1)), c.expected) << c.line;
  }
  for (const char* word : {"idle", "connecting", "connected", "error"}) {
    ASSERT_TRUE(statusNamed(word).has_value()) << word;
    EXPECT_EQ(statusWord(*statusNamed(word)), word);
  }
  EXPECT_EQ(statusNamed("Connected"), std::nullopt);
}

}  // namespace
}  // namespace velto
