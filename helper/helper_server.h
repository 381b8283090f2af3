// The helper daemon's socket server: set-up of the listening socket, and the loop
// that serves one connection at a time (peer check, request, response, close).
// Runs on the daemon's one thread; tests run it on a temporary socket path.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/log.h"
#include "common/unique_fd.h"
#include "helper/helper_protocol.h"
#include "helper/peer_credentials.h"

namespace velto {

// A request must have arrived this long after its connection was accepted; what
// has come by then is handled as the request.
inline constexpr std::chrono::seconds kRequestTimeout{10};
// Largest request accepted, in bytes.
inline constexpr size_t kMaxRequestBytes = 16 * 1024 * 1024;

struct RequestLimits {
  std::chrono::milliseconds timeout = kRequestTimeout;
  size_t maxBytes = kMaxRequestBytes;
};

struct RequestRead {
  std::string text;        // the request's bytes, as they came
  bool tooLarge = false;   // more than the limit arrived; `text` is then empty
};

// Reads the connection `fd` until the peer ends its sending side, a read fails, or
// `deadline` passes. Bytes past `maxBytes` are read and dropped (so the peer is
// not reset before it can read the answer) and the request is marked too large.
RequestRead readFullRequest(int fd, std::chrono::steady_clock::time_point deadline,
                            size_t maxBytes);

// Writes the whole response to `fd`. A peer that has gone away, or that takes
// nothing for `stallLimit`, only cuts the response short.
void writeFullResponse(int fd, std::string_view response, std::chrono::milliseconds stallLimit);

// Log lines for refused peers, at most one a second, so that a flood of refused
// connections cannot fill the disk: refusals within a second of the last line are
// counted, and the count goes into the next line, "refused peer uid=<uid>
// pid=<pid> (<n> more refused since the last line)".
class RefusalLog {
 public:
  void refused(const PeerDecision& peer, std::chrono::steady_clock::time_point now,
               const LogFunction& log);

 private:
  std::optional<std::chrono::steady_clock::time_point> lastLine_;
  long long unlogged_ = 0;
};

// What serving a connection needs from outside, and the little state that lasts
// from one connection to the next.
struct HelperServices {
  PeerAuthorizer& authorizer;
  ScriptRunner runScript;
  LogFunction log;
  RequestLimits limits;
  RefusalLog refusals{};
};

// When something already accepts connections at `socketPath` (another daemon),
// logs "another veltovpn-helper is serving <path>" and returns an invalid
// descriptor, leaving the file alone. Otherwise removes a stale file there, then
// creates, binds (mode 0666) and listens on the daemon's socket. Logs and returns
// an invalid descriptor when a step fails.
UniqueFd setUpListeningSocket(const std::string& socketPath, const LogFunction& log);

// Accepts one connection on `listenFd` and serves it to the end: a refused peer
// gets the unauthorized-peer response unread; anyone else gets the response to
// the request. The connection is closed before this returns.
void serveNextConnection(int listenFd, HelperServices& services);

struct HelperServerOptions {
  std::string socketPath;
  std::string logPath;
  std::string clientGroup = kHelperClientGroup;
};

// The whole daemon: start line, socket set-up, then connections for ever. Returns
// only when the set-up failed, with exit status 1.
int runHelperServer(const HelperServerOptions& options);

}  // namespace velto
