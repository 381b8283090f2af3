// The helper daemon's socket server on POSIX sockets. The daemon's one thread.
#include "helper/helper_server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <thread>

#include "common/io.h"
#include "helper/readiness.h"
#include "helper/script_runner.h"

namespace velto {
namespace {

using Clock = std::chrono::steady_clock;

// Pause after an accept failure other than an interruption, so that a lasting one
// (out of descriptors) does not spin and flood the log.
constexpr std::chrono::milliseconds kAcceptRetryPause{100};

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_DONTWAIT | MSG_NOSIGNAL;
#else
constexpr int kSendFlags = MSG_DONTWAIT;  // the daemon ignores SIGPIPE
#endif

std::string errnoLine(const char* call, int err) {
  return std::string(call) + "() failed: errno=" + std::to_string(err);
}

// Waits until `fd` is ready for `events` or `deadline` passes. False on time-out
// or failure.
bool waitReady(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    struct pollfd entry = {fd, events, 0};
    int n = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left, 60000)));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// True when something accepts connections at `path`. A non-blocking probe, so a
// daemon whose listen queue is full counts as serving instead of stalling this one.
bool someoneServes(const std::string& path) {
  struct sockaddr_un address;
  if (!fillUnixAddress(path, &address)) return false;
  UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (!probe) return false;
  int flags = ::fcntl(probe.get(), F_GETFL);
  if (flags < 0 || ::fcntl(probe.get(), F_SETFL, flags | O_NONBLOCK) != 0) return false;
  if (::connect(probe.get(), reinterpret_cast<struct sockaddr*>(&address), sizeof address) == 0) {
    return true;
  }
  return errno == EAGAIN || errno == EINPROGRESS;
}

// accept that hands back a close-on-exec descriptor (scripts never inherit the
// daemon's connections), in one call where the platform has one.
int acceptConnection(int listenFd) {
  int fd;
  do {
#if VELTO_HAVE_ACCEPT4
    fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
#else
    fd = ::accept(listenFd, nullptr, nullptr);
#endif
  } while (fd < 0 && errno == EINTR);
#if !VELTO_HAVE_ACCEPT4
  if (fd >= 0) setCloseOnExec(fd);
#endif
  return fd;
}

}  // namespace

RequestRead readFullRequest(int fd, Clock::time_point deadline, size_t maxBytes) {
  RequestRead result;
  std::string bytes;
  char buffer[65536];
  // Read first and wait only when nothing is there: most clients have sent their
  // whole request by the time it is accepted.
  for (;;) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitReady(fd, POLLIN, deadline)) break;
      continue;
    }
    if (n <= 0) break;
    if (result.tooLarge) continue;
    if (bytes.size() + static_cast<size_t>(n) > maxBytes) {
      result.tooLarge = true;
      std::string().swap(bytes);
      continue;
    }
    bytes.append(buffer, static_cast<size_t>(n));
  }
  if (!result.tooLarge) result.text = std::move(bytes);
  return result;
}

void writeFullResponse(int fd, std::string_view response, std::chrono::milliseconds stallLimit) {
  size_t offset = 0;
  while (offset < response.size()) {
    ssize_t n = ::send(fd, response.data() + offset, response.size() - offset, kSendFlags);
    if (n > 0) {
      offset += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitReady(fd, POLLOUT, Clock::now() + stallLimit)) return;
    } else {
      return;
    }
  }
}

bool RefusalLog::withinASecond(Clock::time_point now) const {
  return lastLine_ && now - *lastLine_ < std::chrono::seconds(1);
}

std::string RefusalLog::takeCounts(long long lineUid) {
  long long total = unloggedOthers_;
  for (const Count& c : unlogged_) total += c.refused;
  std::string text = std::to_string(total) + " more refused since the last line";
  if (unloggedOthers_ > 0 || unlogged_.size() > 1 || unlogged_.front().uid != lineUid) {
    const char* separator = ": ";
    for (const Count& c : unlogged_) {
      text += separator + std::to_string(c.refused) + " by uid=" + std::to_string(c.uid);
      separator = ", ";
    }
    if (unloggedOthers_ > 0) text += ", " + std::to_string(unloggedOthers_) + " by other uids";
  }
  unlogged_.clear();
  unloggedOthers_ = 0;
  return text;
}

void RefusalLog::refused(const PeerDecision& peer, Clock::time_point now, const LogFunction& log) {
  if (withinASecond(now)) {
    auto count = std::find_if(unlogged_.begin(), unlogged_.end(),
                              [&](const Count& c) { return c.uid == peer.uid; });
    if (count != unlogged_.end()) {
      ++count->refused;
    } else if (unlogged_.size() < kMaxUids) {
      unlogged_.push_back({peer.uid, 1});
    } else {
      ++unloggedOthers_;
    }
    return;
  }
  std::string line = "refused peer uid=" + std::to_string(peer.uid) +
                     " pid=" + std::to_string(peer.pid);
  if (!unlogged_.empty()) line += " (" + takeCounts(peer.uid) + ")";
  log(line);
  lastLine_ = now;
}

std::optional<Clock::time_point> RefusalLog::flushDue() const {
  if (unlogged_.empty()) return std::nullopt;
  return *lastLine_ + std::chrono::seconds(1);
}

void RefusalLog::flush(Clock::time_point now, const LogFunction& log) {
  if (unlogged_.empty() || withinASecond(now)) return;
  // No uid of its own, so the uids are always named.
  log(takeCounts(-1));
  lastLine_ = now;
}

UniqueFd setUpListeningSocket(const std::string& socketPath, const LogFunction& log) {
  if (someoneServes(socketPath)) {
    log("another veltovpn-helper is serving " + socketPath);
    return UniqueFd();
  }
  ::unlink(socketPath.c_str());  // a file left by an earlier run; missing is normal

  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (!listener) {
    log(errnoLine("socket", errno));
    return UniqueFd();
  }
  // Scripts never inherit the daemon's sockets.
  setCloseOnExec(listener.get());

  struct sockaddr_un address;
  if (!fillUnixAddress(socketPath, &address)) {
    log(errnoLine("bind", ENAMETOOLONG));
    return UniqueFd();
  }
  // The socket file comes into being owner-only and is opened up only by the
  // chmod below. The mask is put back at once: it is process-wide, and the log
  // file and the scripts' own files must keep their usual modes.
  const mode_t previousMask = ::umask(077);
  const int bound =
      ::bind(listener.get(), reinterpret_cast<struct sockaddr*>(&address), sizeof address);
  const int bindError = errno;
  ::umask(previousMask);
  if (bound != 0) {
    log(errnoLine("bind", bindError));
    return UniqueFd();
  }
  // Lets clients that are not root connect; who may actually use the daemon is
  // decided per connection by the peer check.
  ::chmod(socketPath.c_str(), 0666);
  if (::listen(listener.get(), 5) != 0) {
    log(errnoLine("listen", errno));
    return UniqueFd();
  }
  log("listening on " + socketPath);
  return listener;
}

void serveNextConnection(int listenFd, HelperServices& services) {
  // Refusals held back by the rate limit are written once their second is over,
  // even when nobody connects after them.
  while (std::optional<Clock::time_point> due = services.refusals.flushDue()) {
    if (waitReady(listenFd, POLLIN, *due)) break;
    services.refusals.flush(Clock::now(), services.log);
  }
  int fd = acceptConnection(listenFd);
  if (fd < 0) {
    services.log(errnoLine("accept", errno));
    std::this_thread::sleep_for(kAcceptRetryPause);
    return;
  }
  UniqueFd connection(fd);
  const Clock::time_point deadline = Clock::now() + services.limits.timeout;
  // A client that stops reading its response cannot hold the daemon for longer
  // than this per stalled write.
  const auto stallLimit = services.limits.timeout;

  PeerDecision peer = services.authorizer.check(connection.get());
  if (!peer.allowed) {
    services.refusals.refused(peer, Clock::now(), services.log);
    writeFullResponse(connection.get(), unauthorizedPeerResponse(), stallLimit);
    return;
  }

  RequestRead request = readFullRequest(connection.get(), deadline, services.limits.maxBytes);
  if (request.tooLarge) {
    services.log("request too large: more than " + std::to_string(services.limits.maxBytes) +
                 " bytes");
    writeFullResponse(connection.get(), requestTooLargeResponse(), stallLimit);
    return;
  }
  writeFullResponse(connection.get(),
                    handleRequest(request.text, services.runScript, services.log), stallLimit);
}

int runHelperServer(const HelperServerOptions& options) {
  // A client that hangs up before its response is written must not end the daemon.
  ::signal(SIGPIPE, SIG_IGN);
  endRunningScriptWithTheProcess();
  LogFunction log = fileLogger(options.logPath, 0640);
  log("veltovpn-helper " + std::string(HELPER_VERSION) + " starting...");
  UniqueFd listener = setUpListeningSocket(options.socketPath, log);
  if (!listener) return 1;

  std::unique_ptr<PeerAuthorizer> authorizer = makePlatformPeerAuthorizer(options.clientGroup);
  if (std::optional<std::string> notice = authorizer->startNotice()) log(*notice);
  // The service manager may send clients from now on: the socket listens and
  // every connection can be judged.
  notifyReady(log);
  HelperServices services{*authorizer,
                          [](const std::string& script) { return runScript(script); }, log,
                          RequestLimits{}};
  for (;;) serveNextConnection(listener.get(), services);
}

}  // namespace velto
