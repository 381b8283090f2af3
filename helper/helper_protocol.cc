// Request handling for the helper daemon. Any thread; JSON errors are caught in
// common/helper_wire and never reach these functions.
#include "helper/helper_protocol.h"

#include "common/no_destructor.h"
#include "common/utf8.h"

namespace velto {
namespace {

// Calls each of its lambdas' operator(), so that std::visit sees them as one.
template <typename... Lambdas>
struct Overloaded : Lambdas... {
  using Lambdas::operator()...;
};
// Clang before 17 does not deduce an aggregate's arguments by itself.
template <typename... Lambdas>
Overloaded(Lambdas...) -> Overloaded<Lambdas...>;

}  // namespace

std::string handleRequest(std::string_view request, const ScriptRunner& runScript,
                          const LogFunction& log) {
  auto say = [&log](const std::string& message) {
    if (log) log(message);
  };
  // Bytes that are not UTF-8 void the whole request: it counts as empty.
  if (!isValidUtf8(request)) request = {};
  say("recv " + std::to_string(countCharacters(request)) + "B");

  return std::visit(Overloaded{
                        [](const HelperRequest::Invalid&) { return invalidRequestResponse(); },
                        [](const HelperRequest::Unknown& unknown) {
                          return unknownActionResponse(unknown.action);
                        },
                        [](const HelperRequest::Ping&) {
                          // The answer never changes: built once, not on every liveness check.
                          static const NoDestructor<std::string> pong(pongResponse(HELPER_VERSION));
                          return *pong;
                        },
                        [&](const HelperRequest::RunScript& run) {
                          if (run.script.empty()) return missingScriptResponse();
                          ScriptResult result = runScript(run.script);
                          say("run-script exit=" + std::to_string(result.exitCode) +
                              " output=" + std::to_string(countCharacters(result.output)) + "B");
                          return scriptResponse(result.exitCode, std::move(result.output));
                        },
                    },
                    parseHelperRequest(request).value);
}

}  // namespace velto
