// The daemon's answer to each request text, with a runner that only records:
// which requests run a script, and the exact errors of those that do not.
#include "helper/helper_protocol.h"

#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "build_config.h"

namespace velto {
namespace {

using ::testing::ElementsAre;
using namespace std::string_literals;

const std::string kInvalid =
    "{\"error\":\"invalid request \xE2\x80\x94 expected JSON with action "
    "field\",\"success\":false}";
const std::string kMissingScript =
    "{\"error\":\"run-script: missing or empty 'script' field\",\"success\":false}";

// A runner that records the scripts it was given and returns a fixed result.
struct FakeRunner {
  ScriptResult result{"out\n", 0};
  std::vector<std::string> scripts;
  ScriptRunner runner() {
    return [this](const std::string& script) {
      scripts.push_back(script);
      return result;
    };
  }
};

struct Case {
  const char* name;
  std::string request;
  std::string response;  // compared as JSON, since member order is free
  std::optional<std::string> scriptRun = std::nullopt;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class HandleRequestTest : public ::testing::TestWithParam<Case> {};

TEST_P(HandleRequestTest, AnswersEachRequest) {
  const Case& c = GetParam();
  FakeRunner runner;
  std::string response = handleRequest(c.request, runner.runner());
  EXPECT_EQ(nlohmann::json::parse(response), nlohmann::json::parse(c.response)) << response;
  if (c.scriptRun) {
    EXPECT_THAT(runner.scripts, ElementsAre(*c.scriptRun));
  } else {
    EXPECT_TRUE(runner.scripts.empty());
  }
}

const std::string kPong = std::string(R"({"success":true,"message":"pong","version":")") +
                          VELTOVPN_VERSION_STRING + "\"}";
const std::string kRan = R"({"success":true,"exit":0,"stdout":"out\n","stderr":""})";

INSTANTIATE_TEST_SUITE_P(
    Requests, HandleRequestTest,
    ::testing::Values(
        Case{"PingWithNewlineAndSpaces", " {\"action\" : \"ping\"}\n", kPong},
        Case{"PingIgnoresScript", R"({"action":"ping","script":"rm -rf /"})", kPong},
        Case{"RunScript", R"({"action":"run-script","script":"echo hi"})", kRan, "echo hi"},
        Case{"ScriptOfBlanksRuns", R"({"action":"run-script","script":"  "})", kRan, "  "},
        Case{"ScriptKeptVerbatim", R"({"action":"run-script","script":"\techo \"\u00e9\"\n"})",
             kRan, "\techo \"\xC3\xA9\"\n"},
        Case{"ScriptMissing", R"({"action":"run-script"})", kMissingScript},
        Case{"ScriptEmpty", R"({"action":"run-script","script":""})", kMissingScript},
        Case{"ScriptNumber", R"({"action":"run-script","script":7})", kMissingScript},
        Case{"UnknownAction", R"({"action":"PING"})",
             R"({"success":false,"error":"unknown action: PING"})"},
        Case{"Empty", "", kInvalid}, Case{"TopLevelArray", R"([{"action":"ping"}])", kInvalid},
        Case{"ActionNumber", R"({"action":1})", kInvalid},
        Case{"ActionMissing", R"({"script":"echo hi"})", kInvalid},
        Case{"TrailingGarbage", R"({"action":"ping"}x)", kInvalid},
        Case{"TwoObjects", R"({"action":"ping"}{"action":"ping"})", kInvalid},
        Case{"NotUtf8", "{\"action\":\"ping\",\"x\":\"\xC0\xAF\"}", kInvalid},
        Case{"NulAfterTheObject",
             R"({"action":"run-script","script":"x"})"
             "\0junk"s,
             kInvalid}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HandleRequest, ReportsTheRunnersExitCodeAndLogsLengthsInCharacters) {
  FakeRunner runner;
  runner.result = {"caf\xC3\xA9 \xE2\x80\x94 3", -3};
  std::vector<std::string> lines;
  const LogFunction log = [&](std::string_view line) { lines.emplace_back(line); };
  std::string response =
      handleRequest("{\"action\":\"run-script\",\"script\":\"x\",\"note\":\"d\xC3\xA9j\xC3\xA0\"}",
                    runner.runner(), log);
  EXPECT_EQ(nlohmann::json::parse(response),
            nlohmann::json::parse(
                R"({"success":true,"exit":-3,"stdout":"caf\u00e9 \u2014 3","stderr":""})"));
  // The output itself is never logged.
  EXPECT_THAT(lines, ElementsAre("recv 50B", "run-script exit=-3 output=8B"));

  // A request that is not UTF-8 counts as empty, in the log too.
  lines.clear();
  handleRequest("{\"action\":\"ping\"}\xFF", runner.runner(), log);
  EXPECT_THAT(lines, ElementsAre("recv 0B"));
}

TEST(JsonResponse, FallsBackWhenTextIsNotUtf8) {
  EXPECT_EQ(jsonResponse({{"success", true}, {"stdout", std::string("\xFF")}}),
            "{\"success\":false,\"error\":\"JSON serialization failed\"}");
  EXPECT_EQ(jsonResponse({{"a", std::string("x/y\"")}, {"n", int32_t{-2147483647 - 1}}}),
            R"({"a":"x/y\"","n":-2147483648})");
}

}  // namespace
}  // namespace velto
