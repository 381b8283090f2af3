// Request handling for the helper daemon. Any thread; JSON errors are caught here
// and never leave these functions.
#include "helper/helper_protocol.h"

#include <nlohmann/json.hpp>

#include "common/no_destructor.h"
#include "common/utf8.h"

namespace velto {
namespace {

constexpr const char* kSerializationFailed =
    "{\"success\":false,\"error\":\"JSON serialization failed\"}";

std::string errorResponse(std::string message) {
  return jsonResponse({{"success", false}, {"error", std::move(message)}});
}

std::string invalidRequest() {
  return errorResponse("invalid request \u2014 expected JSON with action field");
}

}  // namespace

std::string jsonResponse(const ResponseMembers& members) {
  try {
    nlohmann::json object = nlohmann::json::object();
    for (const auto& member : members) {
      // A named reference, not a structured binding: clang before 16 cannot
      // capture those.
      const auto& key = member.first;
      std::visit([&object, &key](const auto& v) { object[key] = v; }, member.second);
    }
    // dump() throws on text that is not UTF-8; that and any allocation failure
    // become the fixed response.
    return object.dump();
  } catch (...) {
    return kSerializationFailed;
  }
}

std::string handleRequest(std::string_view request, const ScriptRunner& runScript,
                          const LogFunction& log) {
  auto say = [&log](const std::string& message) {
    if (log) log(message);
  };
  // Bytes that are not UTF-8 void the whole request: it counts as empty.
  if (!isValidUtf8(request)) request = {};
  say("recv " + std::to_string(countCharacters(request)) + "B");

  // The JSON reader takes a NUL for the end of the text: without this check,
  // a valid request followed by a NUL and anything at all would run.
  if (request.find('\0') != std::string_view::npos) return invalidRequest();
  nlohmann::json parsed = nlohmann::json::parse(request, /*cb=*/nullptr,
                                                /*allow_exceptions=*/false);
  if (parsed.is_discarded() || !parsed.is_object()) return invalidRequest();
  auto action = parsed.find("action");
  if (action == parsed.end() || !action->is_string()) return invalidRequest();
  const std::string& name = action->get_ref<const std::string&>();

  if (name == "ping") {
    // The answer never changes: built once, not on every liveness check.
    static const NoDestructor<std::string> pong(
        jsonResponse({{"success", true},
                      {"message", std::string("pong")},
                      {"version", std::string(HELPER_VERSION)}}));
    return *pong;
  }
  if (name == "run-script") {
    auto script = parsed.find("script");
    if (script == parsed.end() || !script->is_string() ||
        script->get_ref<const std::string&>().empty()) {
      return errorResponse("run-script: missing or empty 'script' field");
    }
    ScriptResult result = runScript(script->get_ref<const std::string&>());
    say("run-script exit=" + std::to_string(result.exitCode) +
        " output=" + std::to_string(countCharacters(result.output)) + "B");
    return jsonResponse({{"success", true},
                         {"exit", result.exitCode},
                         {"stdout", std::move(result.output)},
                         {"stderr", std::string()}});
  }
  return errorResponse("unknown action: " + name);
}

std::string unauthorizedPeerResponse() { return errorResponse("unauthorized peer"); }

std::string requestTooLargeResponse() { return errorResponse("request too large"); }

}  // namespace velto
