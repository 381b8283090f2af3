// Both ends of the helper daemon's protocol. Any thread; JSON errors are caught
// here and never leave these functions.
#include "common/helper_wire.h"

#include <nlohmann/json.hpp>

#include "common/enum_names.h"
#include "common/utf8.h"

namespace velto {
namespace {

using nlohmann::json;

constexpr const char* kSerializationFailed =
    "{\"success\":false,\"error\":\"JSON serialization failed\"}";

// The request texts: bytes that are not UTF-8 become U+FFFD instead of throwing.
std::string requestText(const json& request) {
  return request.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string errorResponse(std::string message) {
  return jsonResponse({{"success", false}, {"error", std::move(message)}});
}

template <typename T>
T member(const json& object, const char* name, T fallback) {
  auto it = object.find(name);
  if (it == object.end()) return fallback;
  if constexpr (std::is_same_v<T, bool>) {
    return it->is_boolean() ? it->get<bool>() : fallback;
  } else if constexpr (std::is_same_v<T, int>) {
    return it->is_number_integer() ? it->get<int>() : fallback;
  } else {
    return it->is_string() ? it->get<std::string>() : fallback;
  }
}

}  // namespace

std::string_view helperActionName(HelperAction action) {
  switch (action) {
    case HelperAction::ping:
      return "ping";
    case HelperAction::runScript:
      return "run-script";
  }
  return {};
}

std::string pingRequest() {
  return requestText({{"action", helperActionName(HelperAction::ping)}});
}

std::string runScriptRequest(std::string_view script) {
  return requestText(
      {{"action", helperActionName(HelperAction::runScript)}, {"script", std::string(script)}});
}

HelperRequest parseHelperRequest(std::string_view request) {
  // The JSON reader takes a NUL for the end of the text: without this check,
  // a valid request followed by a NUL and anything at all would run.
  if (request.find('\0') != std::string_view::npos || !isValidUtf8(request)) {
    return {HelperRequest::Invalid{}};
  }
  json parsed = json::parse(request, /*cb=*/nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded() || !parsed.is_object()) return {HelperRequest::Invalid{}};
  auto action = parsed.find("action");
  if (action == parsed.end() || !action->is_string()) return {HelperRequest::Invalid{}};
  const std::string& name = action->get_ref<const std::string&>();

  const std::optional<HelperAction> known = valueNamed<HelperAction>(name, helperActionName);
  if (!known) return {HelperRequest::Unknown{name}};
  switch (*known) {
    case HelperAction::ping:
      return {HelperRequest::Ping{}};
    case HelperAction::runScript:
      return {HelperRequest::RunScript{member(parsed, "script", std::string())}};
  }
  return {HelperRequest::Invalid{}};
}

std::string jsonResponse(const ResponseMembers& members) {
  try {
    json object = json::object();
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

std::string pongResponse(std::string_view version) {
  return jsonResponse(
      {{"success", true}, {"message", std::string("pong")}, {"version", std::string(version)}});
}

std::string scriptResponse(int32_t exitCode, std::string output) {
  return jsonResponse({{"success", true},
                       {"exit", exitCode},
                       {"stdout", std::move(output)},
                       {"stderr", std::string()}});
}

std::string invalidRequestResponse() {
  return errorResponse("invalid request \u2014 expected JSON with action field");
}

std::string missingScriptResponse() {
  return errorResponse("run-script: missing or empty 'script' field");
}

std::string unknownActionResponse(std::string_view action) {
  return errorResponse("unknown action: " + std::string(action));
}

std::string unauthorizedPeerResponse() { return errorResponse("unauthorized peer"); }

std::string requestTooLargeResponse() { return errorResponse("request too large"); }

std::optional<HelperResponse> parseHelperResponse(std::string_view response, HelperAction action) {
  json answer = json::parse(response, nullptr, /*allow_exceptions=*/false);
  if (!answer.is_object()) return std::nullopt;
  HelperResponse read;
  read.success = member(answer, "success", false);
  if (!read.success) {
    read.text = member(answer, "error", std::string("(no error text)"));
    return read;
  }
  switch (action) {
    case HelperAction::ping:
      read.text = member(answer, "version", std::string("(no version)"));
      break;
    case HelperAction::runScript:
      read.exitCode = member(answer, "exit", 0);
      read.text = member(answer, "stdout", std::string());
      break;
  }
  return read;
}

}  // namespace velto
