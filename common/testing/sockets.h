// Unix-domain sockets for tests that play a peer of a program: a listener at a
// path, a client, a connected pair, and reads bounded by a deadline. Any thread.
#pragma once

#include <chrono>
#include <string>
#include <utility>

#include "common/unique_fd.h"

namespace velto::test_support {

// Bounds every wait of a test, so that a fault fails the test instead of hanging it.
inline constexpr std::chrono::milliseconds kPatience = std::chrono::seconds(20);

// Binds the socket `fd` to `path` and sets it listening. False with errno set on failure.
bool bindAndListen(int fd, const std::string& path);

// A close-on-exec stream socket listening at `path`; invalid on failure.
UniqueFd listenAt(const std::string& path);

// A close-on-exec client socket connected to `path`; invalid on failure.
UniqueFd connectTo(const std::string& path);

// Two connected close-on-exec stream sockets; both invalid on failure.
std::pair<UniqueFd, UniqueFd> socketPair();

// Whether `fd` becomes readable (data, end of stream or a pending connection)
// within `patience`.
bool readableWithin(int fd, std::chrono::milliseconds patience = kPatience);

// Accepts one connection on `listener` within `patience`; invalid otherwise.
UniqueFd acceptWithin(int listener, std::chrono::milliseconds patience = kPatience);

// Reads `fd` until end of stream (or a reset, as after a peer's early close).
std::string readToEnd(int fd);

// Reads one line, without its line feed; what there was when the stream ended first.
std::string readLine(int fd);

}  // namespace velto::test_support
