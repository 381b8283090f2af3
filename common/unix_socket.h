// Unix-domain stream sockets set up one way for every program and tool: close-on-
// exec, no SIGPIPE, a listener whose file no other user can reach before its
// owner decides. Any thread, except where a function says it changes the umask.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "common/result.h"
#include "common/unique_fd.h"

namespace velto {

// A new close-on-exec stream socket that never raises SIGPIPE. The Error's
// context names the call: "socket", "fcntl(FD_CLOEXEC)", ...
[[nodiscard]] Result<UniqueFd> unixStreamSocket();

// A socket from unixStreamSocket() connected to `path`, waiting as long as connect(2)
// does; EINTR is retried. A failed connect is an Error with the context "connect <path>".
[[nodiscard]] Result<UniqueFd> connectUnix(const std::string& path);

// True when something accepts connections at `path`. A non-blocking probe, so a
// server whose listen queue is full counts as serving instead of stalling the caller.
bool unixSocketAnswers(const std::string& path);

// A socket bound to `path` and listening with `backlog`. With a `bindMask` the
// socket file comes into being under that umask (077: owner only), the old one
// put back at once; the umask is process-wide, so only a caller whose other
// threads create no files may pass one. The Error's context is the failed call alone
// ("socket", "bind", "listen"), for servers whose log lines name it; a path
// too long for the address is a "bind" failing with ENAMETOOLONG.
[[nodiscard]] Result<UniqueFd> listenUnix(const std::string& path, int backlog,
                                          std::optional<mode_t> bindMask = std::nullopt);

}  // namespace velto
