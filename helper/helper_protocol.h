// The helper daemon's protocol: one request text in, one response text out.
// `handleRequest` does no I/O of its own; the script runner and the log are passed
// in. Pure apart from what those two do; any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <variant>

#include "build_config.h"
#include "common/log.h"

namespace velto {

inline constexpr std::string_view HELPER_VERSION = VELTOVPN_VERSION_STRING;

// What running one script produced: its standard output and standard error as one
// stream, and its exit code.
struct ScriptResult {
  std::string output;
  int32_t exitCode = 0;
};

// Runs a script to completion. Never fails: failures come back as a result.
using ScriptRunner = std::function<ScriptResult(const std::string& script)>;

// The members of one response object.
using ResponseValue = std::variant<bool, int32_t, std::string>;
using ResponseMembers = std::map<std::string, ResponseValue>;

// Compact JSON text for `members`; the fixed serialization-failure response when
// they cannot be written (for example a string that is not UTF-8).
std::string jsonResponse(const ResponseMembers& members);

// The response text for one request text. Calls `runScript` at most once (only for
// a well-formed "run-script" request) and `log` at most twice; an empty `log`
// logs nothing. Every input yields a response.
std::string handleRequest(std::string_view request, const ScriptRunner& runScript,
                          const LogFunction& log = {});

}  // namespace velto
