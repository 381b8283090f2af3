// The helper daemon's side of its protocol: one request's bytes in, one
// response text out (the texts themselves are common/helper_wire's).
// `handleRequest` does no I/O of its own; the script runner and the log are
// passed in. Pure apart from what those two do; any thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "build_config.h"
#include "common/helper_wire.h"
#include "common/log.h"
#include "helper/script_runner.h"

namespace velto {

inline constexpr std::string_view HELPER_VERSION = VELTOVPN_VERSION_STRING;

// Runs a script to completion. Never fails: failures come back as a result.
using ScriptRunner = std::function<ScriptResult(const std::string& script)>;

// The response text for the bytes of one request. Bytes that are not UTF-8 make
// the request invalid, and count as an empty one. Calls `runScript` at most once
// (only for a well-formed "run-script" request) and `log` at most twice; an
// empty `log` logs nothing. Every input yields a response.
std::string handleRequest(std::string_view request, const ScriptRunner& runScript,
                          const LogFunction& log = {});

}  // namespace velto
