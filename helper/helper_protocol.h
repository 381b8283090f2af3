// The helper daemon's protocol: one request's bytes in, one response text out;
// every response on the wire is written here. `handleRequest` does no I/O of its
// own; the script runner and the log are passed in. Pure apart from what those
// two do; any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <variant>

#include "build_config.h"
#include "common/log.h"
#include "helper/script_runner.h"

namespace velto {

inline constexpr std::string_view HELPER_VERSION = VELTOVPN_VERSION_STRING;

// Runs a script to completion. Never fails: failures come back as a result.
using ScriptRunner = std::function<ScriptResult(const std::string& script)>;

// The members of one response object.
using ResponseValue = std::variant<bool, int32_t, std::string>;
using ResponseMembers = std::map<std::string, ResponseValue>;

// Compact JSON text for `members`; the fixed serialization-failure response when
// they cannot be written (for example a string that is not UTF-8).
std::string jsonResponse(const ResponseMembers& members);

// The response text for the bytes of one request. Bytes that are not UTF-8 make
// the request invalid, and count as an empty one. Calls `runScript` at most once
// (only for a well-formed "run-script" request) and `log` at most twice; an
// empty `log` logs nothing. Every input yields a response.
std::string handleRequest(std::string_view request, const ScriptRunner& runScript,
                          const LogFunction& log = {});

// The answers the server gives without handling a request: to a client it does
// not admit, and to one whose request goes on past the size limit.
std::string unauthorizedPeerResponse();
std::string requestTooLargeResponse();

}  // namespace velto
