// The helper daemon's socket server: set-up of the listening socket, and the loop
// that serves one connection at a time (peer check, request, response, close).
// Runs on the daemon's one thread; tests run it on a temporary socket path.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "common/log.h"
#include "common/unique_fd.h"
#include "helper/helper_protocol.h"
#include "helper/peer_credentials.h"

namespace velto {

// A request must have arrived this long after its connection was accepted; what
// has come by then is handled as the request.
inline constexpr std::chrono::seconds REQUEST_TIMEOUT{10};
// Largest request accepted, in bytes.
inline constexpr size_t MAX_REQUEST = 16 * 1024 * 1024;

struct RequestLimits {
  std::chrono::milliseconds timeout = REQUEST_TIMEOUT;
  size_t maxBytes = MAX_REQUEST;
};

struct RequestRead {
  std::string text;        // the request; empty when its bytes are not UTF-8
  bool tooLarge = false;   // more than the limit arrived; `text` is then empty
};

// Reads the connection `fd` until the peer ends its sending side, a read fails, or
// `deadline` passes. Bytes past `maxBytes` are read and dropped (so the peer is
// not reset before it can read the answer) and the request is marked too large.
RequestRead readFullRequest(int fd, std::chrono::steady_clock::time_point deadline,
                            size_t maxBytes);

// Writes the whole response to `fd`. A peer that has gone away or stopped reading
// only cuts the response short.
void writeFullResponse(int fd, std::string_view response);

// What serving a connection needs from outside.
struct HelperServices {
  PeerAuthorizer& authorizer;
  ScriptRunner runScript;
  LogFunction log;
  RequestLimits limits;
};

// Removes a stale file at `socketPath`, then creates, binds (mode 0666) and
// listens on the daemon's socket. Logs and returns an invalid descriptor when a
// step fails.
UniqueFd setUpListeningSocket(const std::string& socketPath, const LogFunction& log);

// Accepts one connection on `listenFd` and serves it to the end: a refused peer
// gets the unauthorized-peer response unread; anyone else gets the response to
// the request. The connection is closed before this returns.
void serveNextConnection(int listenFd, const HelperServices& services);

// The whole daemon on the given paths: start line, socket set-up, then connections
// for ever. Returns only when the set-up failed, with exit status 1.
int runHelperServer(const std::string& socketPath, const std::string& logPath);

}  // namespace velto
