// Both ends of the helper's protocol: what a client writes the daemon reads as
// meant, and what the daemon writes a client reads as meant.
#include "common/helper_wire.h"

#include <gtest/gtest.h>

namespace velto {
namespace {

TEST(HelperRequests, AreReadByTheDaemonAsMeant) {
  EXPECT_EQ(pingRequest(), R"({"action":"ping"})");
  EXPECT_TRUE(std::holds_alternative<HelperRequest::Ping>(parseHelperRequest(pingRequest()).value));
  // A script that is not UTF-8 still goes out, its bad byte replaced.
  for (const auto& [script, read] : {std::pair<std::string, std::string>{"echo hi\n", "echo hi\n"},
                                     {"echo \"q\" \\", "echo \"q\" \\"},
                                     {"echo \xff", "echo \xef\xbf\xbd"}}) {
    HelperRequest request = parseHelperRequest(runScriptRequest(script));
    auto* run = std::get_if<HelperRequest::RunScript>(&request.value);
    ASSERT_NE(run, nullptr) << script;
    EXPECT_EQ(run->script, read);
  }
}

TEST(HelperResponses, AreReadByTheClientAsMeant) {
  struct Case {
    const char* name;
    std::string response;
    HelperAction action;
    std::optional<HelperResponse> read;
  };
  const Case cases[] = {
      {"pong", pongResponse("9.9"), HelperAction::ping, HelperResponse{true, 0, "9.9"}},
      {"script", scriptResponse(3, "out\n"), HelperAction::runScript,
       HelperResponse{true, 3, "out\n"}},
      {"refusal", unauthorizedPeerResponse(), HelperAction::runScript,
       HelperResponse{false, 0, "unauthorized peer"}},
      {"unknown action", unknownActionResponse("PING"), HelperAction::ping,
       HelperResponse{false, 0, "unknown action: PING"}},
      {"members missing", R"({"success":true})", HelperAction::ping,
       HelperResponse{true, 0, "(no version)"}},
      {"members of other types", R"({"success":true,"exit":"3","stdout":1})",
       HelperAction::runScript, HelperResponse{true, 0, ""}},
      {"no success", R"({"error":7})", HelperAction::runScript,
       HelperResponse{false, 0, "(no error text)"}},
      {"not an object", "[true]", HelperAction::ping, std::nullopt},
      {"cut short", R"({"success":tr)", HelperAction::ping, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<HelperResponse> read = parseHelperResponse(c.response, c.action);
    ASSERT_EQ(read.has_value(), c.read.has_value());
    if (!read) continue;
    EXPECT_EQ(read->success, c.read->success);
    EXPECT_EQ(read->exitCode, c.read->exitCode);
    EXPECT_EQ(read->text, c.read->text);
  }
}

}  // namespace
}  // namespace velto
