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

// How long a stopped script gets to end after SIGTERM (its EXIT trap, say)
// before whatever is left of its process group is killed.
inline constexpr std::chrono::seconds kStopGrace{2};

// The exit code of a stopped script, as a shell reports a command ended by the
// SIGTERM it was sent.
inline constexpr int32_t kStoppedExitCode = 128 + 15;

// The search path every script gets, whatever the daemon was started with.
inline constexpr const char* kScriptSearchPath =
    "/usr/bin:/bin:/usr/sbin:/sbin:/usr/local/bin:/opt/homebrew/bin";

// What running one script produced: its standard output and standard error as one
// stream, and its exit code.
struct ScriptResult {
  std::string output;
  int32_t exitCode = 0;
  bool stopped = false;  // cut short by a stop (ScriptRunOptions::stopFd)
};

struct ScriptRunOptions {
  std::chrono::seconds timeout = kScriptTimeout;
  std::string shell = "/bin/bash";
  // Polls readable when the script must stop: from then on the run is cut short
  // as below. -1: never.
  int stopFd = -1;
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
// When `stopFd` turns readable, the script's process group gets SIGTERM, so that
// bash runs the script's EXIT trap; once the shell has ended, or kStopGrace later
// at the latest, whatever is left of the group gets SIGKILL; the result is the output so far
// followed by "helper: script stopped: the helper is shutting down", exit code kStoppedExitCode,
// `stopped` set. A stop requested before the run starts returns that note alone, and nothing is
// run. What the script started in a session of its own is never touched: the service manager leaves
// tunnel programs alone, and so does this. Returns as soon as the shell has exited, with what it
// wrote, even when a background process it started still holds the output pipe. The script file is
// removed before returning, on every path.
ScriptResult runScript(const std::string& script, const ScriptRunOptions& options = {});

}  // namespace velto
