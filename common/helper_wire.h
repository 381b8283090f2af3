// The helper daemon's protocol, both ends of it: one JSON request per
// connection, one JSON response. The daemon reads requests and writes
// responses; its clients (the stand-in, the tools) write requests and read
// responses. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "build_config.h"

namespace velto {

// Where the helper daemon listens, and where it logs, in an installed system.
inline constexpr const char* kHelperSocketPath = VELTOVPN_HELPER_SOCKET_PATH;
inline constexpr const char* kHelperLogPath = VELTOVPN_HELPER_LOG_PATH;

// ---------------------------------------------------------------- requests

// Every action the daemon serves.
enum class HelperAction { ping, runScript };

// The "action" text: "ping", "run-script".
std::string_view helperActionName(HelperAction action);

// The request texts a client sends. A script that is not UTF-8 goes out with
// U+FFFD in place of the bad bytes.
std::string pingRequest();
std::string runScriptRequest(std::string_view script);

// What the daemon made of one request's bytes.
struct HelperRequest {
  // Not UTF-8, holds a NUL, not a JSON object, or no string "action".
  struct Invalid {};
  // An action the daemon does not serve, as sent.
  struct Unknown {
    std::string action;
  };
  struct Ping {};
  // `script` is empty when the member is missing, not a string, or empty.
  struct RunScript {
    std::string script;
  };
  std::variant<Invalid, Unknown, Ping, RunScript> value;
};

HelperRequest parseHelperRequest(std::string_view request);

// ---------------------------------------------------------------- responses

// The members of one response object.
using ResponseValue = std::variant<bool, int32_t, std::string>;
using ResponseMembers = std::map<std::string, ResponseValue>;

// Compact JSON text for `members`; the fixed serialization-failure response when
// they cannot be written (for example a string that is not UTF-8).
std::string jsonResponse(const ResponseMembers& members);

// The responses the daemon writes.
std::string pongResponse(std::string_view version);
std::string scriptResponse(int32_t exitCode, std::string output);
std::string invalidRequestResponse();
std::string missingScriptResponse();
std::string unknownActionResponse(std::string_view action);
// The answers the server gives without handling a request: to a client it does
// not admit, and to one whose request goes on past the size limit.
std::string unauthorizedPeerResponse();
std::string requestTooLargeResponse();

// A response as a client reads it.
struct HelperResponse {
  bool success = false;  // its "success" member
  int exitCode = 0;      // run-script: the script's exit status
  std::string text;      // ping: the version; run-script: the output;
                         // a refusal: its error text
};

// Reads the response to a request for `action`; nothing when it is not a JSON
// object. Members that are missing or of another type read as false, 0, an
// empty output, "(no error text)" or "(no version)".
std::optional<HelperResponse> parseHelperResponse(std::string_view response, HelperAction action);

}  // namespace velto
