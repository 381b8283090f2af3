// Runs one bash script as the daemon's user and collects its combined output.
// Blocks the calling thread for the whole run; any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "build_config.h"

namespace velto {

// Longest run of one script; after it the script and everything it started in its
// process group are killed.
inline constexpr std::chrono::seconds kScriptTimeout{VELTOVPN_SCRIPT_TIMEOUT_SECONDS};

// Most output kept from one script. A script that writes more runs on to its end;
// the rest of its output is read and dropped.
inline constexpr size_t kMaxOutput = 16 * 1024 * 1024;

// The search path every script gets, whatever the daemon was started with.
inline constexpr const char* kScriptSearchPath =
    "/usr/bin:/bin:/usr/sbin:/sbin:/usr/local/bin:/opt/homebrew/bin";

// What running one script produced: its standard output and standard error as one
// stream, and its exit code.
struct ScriptResult {
  std::string output;
  int32_t exitCode = 0;
};

struct ScriptRunOptions {
  std::chrono::seconds timeout = kScriptTimeout;
  std::string shell = "/bin/bash";
};

// Writes `script` to a fresh private file "/tmp/veltovpn-helper-script-<UUID>.sh"
// (mode 0700 from its creation), runs it with the shell in a process group of its
// own, and returns its standard output and standard error as one stream together
// with its exit code (the signal's number for a script ended by a signal). Output
// that is not UTF-8 is returned as the empty string.
// The script gets the caller's environment with PATH set to kScriptSearchPath and
// without the variables that change how bash itself starts or runs.
// Output beyond kMaxOutput is dropped: the result is the first kMaxOutput bytes,
// cut back to a character boundary, followed by
// "\nhelper: output truncated after 16 MiB"; the exit code stays the script's.
// A script still running after the time-out is killed with its process group: the
// result is its output so far followed by "helper: script timed out after N s",
// exit code 124.
// Returns as soon as the shell has exited, with what it wrote, even when a
// background process it started still holds the output pipe.
// The script file is removed before returning, on every path.
ScriptResult runScript(const std::string& script, const ScriptRunOptions& options = {});

// For the daemon, which runs one script at a time: from now on SIGTERM and SIGINT
// kill the process group of the script in progress (as a time-out does), then end
// the process by that signal as before. What earlier scripts left running, and
// what a script started in a session of its own, is not touched: the service
// manager leaves tunnel programs alone, and so does this.
void endRunningScriptWithTheProcess();

}  // namespace velto
