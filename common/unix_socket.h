// Unix-domain stream sockets set up one way for every program and tool: close-on-
// exec, no SIGPIPE, a listener whose file no other user can reach before its
// owner decides, waits bounded by deadlines. Any thread, except where a function
// says it changes the umask.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

#include "common/result.h"
#include "common/unique_fd.h"

namespace velto {

// A new close-on-exec stream socket that never raises SIGPIPE. The Error's
// context names the call: "socket", "fcntl(FD_CLOEXEC)", ...
[[nodiscard]] Result<UniqueFd> unixStreamSocket();

// Connects the stream socket `fd` to `path`, retrying EINTR. A failed connect,
// and a path too long for the address (ENAMETOOLONG), is an Error with the
// context "connect <path>".
[[nodiscard]] Status connectUnixSocket(int fd, const std::string& path);

// A socket from unixStreamSocket() connected to `path` (as connectUnixSocket).
// Where a server's full listen queue keeps connect(2) waiting (Linux), a
// `deadline` ends the wait then at the latest, connect failing with EAGAIN;
// without one it lasts as long as the queue stays full.
[[nodiscard]] Result<UniqueFd> connectUnix(
    const std::string& path,
    std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);

// True when something accepts connections at `path`. A non-blocking probe, so a
// server whose listen queue is full counts as serving instead of stalling the caller.
bool unixSocketAnswers(const std::string& path);

// A socket bound to `path` and listening with `backlog`. With a `bindMask` the
// socket file comes into being under that umask (077: owner only), the old one
// put back at once; the umask is process-wide, so only a caller whose other
// threads create no files may pass one. The Error's context is the failed call as
// a server's log names it: "socket()", "bind(<path>)" (also for a path too long
// for the address, ENAMETOOLONG) or "listen()"; a listen that fails removes the
// file its bind made.
[[nodiscard]] Result<UniqueFd> listenUnix(const std::string& path, int backlog,
                                          std::optional<mode_t> bindMask = std::nullopt);

// listenUnix for a server that must be the only one at `path`. When something
// already accepts connections there, an Error of kind kTaken (EADDRINUSE) and the
// file left alone: taking it over would strand that server's clients. Otherwise a
// file left by an earlier run is removed first.
[[nodiscard]] Result<UniqueFd> listenUnixExclusive(const std::string& path, int backlog,
                                                   std::optional<mode_t> bindMask = std::nullopt);

// Accepts one connection on `listener` as a close-on-exec descriptor (in one call
// where accept4 exists), so that no spawned program inherits it. EINTR and
// ECONNABORTED (a client that gave up while queued) are retried. A failed accept
// is an Error with the context "accept".
[[nodiscard]] Result<UniqueFd> acceptConnection(int listener);

// What reading a connection to its end gave.
struct ReadToClose {
  // Every byte read, in order; empty once more than the bound arrived.
  std::string bytes;
  // Success when the peer closed the connection, or reset it (what came before
  // a reset is all it sent). Else an Error of kind kTimedOut when the deadline
  // passed first, kTooLarge when more than the bound arrived, or the failed
  // recv or poll.
  Status end;
};

// Reads the connection `fd` until the peer closes it or `deadline` passes. Bytes
// past `maxBytes` are read and dropped until then, so that the peer is not reset
// before it can read an answer. Reads first and waits only when nothing is there:
// most peers have sent everything by the time they are accepted.
ReadToClose readUntilClosed(int fd, std::chrono::steady_clock::time_point deadline,
                            size_t maxBytes = SIZE_MAX);

}  // namespace velto
