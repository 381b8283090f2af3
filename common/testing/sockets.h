// Unix-domain sockets for tests that play a peer of a program: what common/
// lacks for it (a bind as another user, a connected pair, waits and reads bounded
// by a deadline). Listening and connecting go through common/unix_socket.h. Any thread.
#pragma once

#include <chrono>
#include <string>
#include <utility>

#include "common/result.h"
#include "common/unique_fd.h"

namespace velto::test_support {

// Bounds every wait of a test, so that a fault fails the test instead of hanging it.
inline constexpr std::chrono::milliseconds kPatience = std::chrono::seconds(20);

// Binds the socket `fd`, made elsewhere, to `path` and sets it listening: for a
// socket file that another user must own.
[[nodiscard]] Status bindAndListen(int fd, const std::string& path);

// Two connected close-on-exec stream sockets that never raise SIGPIPE.
[[nodiscard]] Result<std::pair<UniqueFd, UniqueFd>> socketPair();

// Whether `fd` becomes readable (data, end of stream or a pending connection)
// within `patience`.
bool readableWithin(int fd, std::chrono::milliseconds patience = kPatience);

// Accepts one close-on-exec connection on `listener` within `patience`; a
// time-out is ETIMEDOUT.
[[nodiscard]] Result<UniqueFd> acceptWithin(int listener,
                                            std::chrono::milliseconds patience = kPatience);

// Reads `fd` until end of stream (or a reset, as after a peer's early close);
// what there was when `patience` ran out first.
std::string readToEnd(int fd, std::chrono::milliseconds patience = kPatience);

// Reads one line, without its line feed; what there was when the stream ended first.
std::string readLine(int fd);

}  // namespace velto::test_support
