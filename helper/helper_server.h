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
#include <vector>

#include "common/log.h"
#include "common/result.h"
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

// Writes the whole response to `fd`. A peer that has gone away, or that takes
// nothing for `stallLimit`, only cuts the response short.
void writeFullResponse(int fd, std::string_view response, std::chrono::milliseconds stallLimit);

// Log lines for refused peers, at most one a second, so that a flood of refused
// connections cannot fill the disk: refusals within a second of the last line are
// counted per uid, and the counts go into the next line, "refused peer uid=<uid>
// pid=<pid> (<n> more refused since the last line)" when they were all that
// peer's uid, else "... (<n> more refused since the last line: <k> by uid=<a>,
// <m> by uid=<b>)", so that one user's flood does not hide another's attempt.
// Counts that no later refusal carries are written by flush once their second is
// over: "<n> more refused since the last line: <k> by uid=<a>".
// Past kMaxUids distinct uids in one second the rest are "by other uids".
class RefusalLog {
 public:
  static constexpr size_t kMaxUids = 16;

  void refused(const PeerDecision& peer, std::chrono::steady_clock::time_point now,
               const LogFunction& log);
  // When counts are held back: the time from which flush writes them.
  std::optional<std::chrono::steady_clock::time_point> flushDue() const;
  // Writes the held-back counts if their second is over.
  void flush(std::chrono::steady_clock::time_point now, const LogFunction& log);

 private:
  struct Count {
    long long uid;
    long long refused;
  };
  bool withinASecond(std::chrono::steady_clock::time_point now) const;
  // "<n> more refused since the last line[: ...]"; the uids are left out when
  // they are all `lineUid`. Clears the counts.
  std::string takeCounts(long long lineUid);

  std::optional<std::chrono::steady_clock::time_point> lastLine_;
  std::vector<Count> unlogged_;  // in the order the uids first came
  long long unloggedOthers_ = 0;
};

// What serving a connection needs from outside, and the little state that lasts
// from one connection to the next.
struct HelperServices {
  PeerAuthorizer& authorizer;
  ScriptRunner runScript;
  LogFunction log;
  RequestLimits limits;
  RefusalLog refusals{};
  // Polls readable when the daemon must stop; -1: never.
  int stopFd = -1;
};

// Creates, binds (mode 0666) and listens on the daemon's socket, replacing a
// stale file at `socketPath`. When something already accepts connections there
// (another daemon), an Error of kind kTaken and the file left alone; a failed
// call is an Error as listenUnix tells it.
[[nodiscard]] Result<UniqueFd> setUpListeningSocket(const std::string& socketPath);

// Accepts one connection on `listenFd` and serves it to the end: a refused peer
// gets the unauthorized-peer response unread; anyone else gets the response to
// the request. The connection is closed before this returns. Refusals held back
// are written while it waits (RefusalLog::flush). Returns without accepting when
// `stopFd` turns readable first.
void serveNextConnection(int listenFd, HelperServices& services);

struct HelperServerOptions {
  std::string socketPath;
  std::string logPath;
  std::string clientGroup = kHelperClientGroup;
};

// How a run of the daemon ended, for its exit status.
struct HelperRunEnd {
  // The stop signal that ended serving; 0 when the set-up failed.
  int stopSignal = 0;
  // The set-up failed because another daemon serves the socket.
  bool anotherServes = false;
};

// The whole daemon: start line, socket set-up, then connections until SIGTERM or
// SIGINT. A stop lets the connection in progress finish (its script cut short as
// runScript tells), logs one line, "stopped by <signal>; " followed by "no script
// was running" or "cut short: the script of <n> bytes whose first line is
// <line>", and returns the signal. A failed set-up is told in the log: "another
// veltovpn-helper is serving <path>", or the failed call as "bind() failed:
// errno=N".
[[nodiscard]] HelperRunEnd runHelperServer(const HelperServerOptions& options);

}  // namespace velto
