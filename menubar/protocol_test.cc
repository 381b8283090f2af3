// Parsing of bridge lines and writing of command lines.
#include "menubar/protocol.h"

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

TEST(CommandMessage, IsOneCompactLineOfTwoMembersAndNeverOfBytesThatAreNotUtf8) {
  for (const char* action : {"connect", "disconnect", "toggle-killswitch", "show-window", "quit"}) {
    std::optional<std::string> line = commandMessage(action);
    ASSERT_TRUE(line.has_value());
    ASSERT_EQ(line->back(), '\n');
    std::string text = line->substr(0, line->size() - 1);
    EXPECT_EQ(text.find_first_of(" \r\n\t"), std::string::npos) << text;
    nlohmann::json parsed = nlohmann::json::parse(text);
    EXPECT_EQ(parsed, (nlohmann::json{{"type", "command"}, {"action", action}}));
  }
  EXPECT_FALSE(commandMessage("conn\xFF").has_value());
}

}  // namespace
}  // namespace velto
