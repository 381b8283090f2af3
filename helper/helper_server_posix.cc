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
#include "common/unix_socket.h"
#include "helper/readiness.h"
#include "helper/script_runner.h"
#include "helper/stop_signals.h"

namespace velto {
namespace {

using Clock = std::chrono::steady_clock;

// Pause after an accept failure other than an interruption, so that a lasting one
// (out of descriptors) does not spin and flood the log.
constexpr std::chrono::milliseconds kAcceptRetryPause{100};

// The daemon's line for a failed system call: "bind() failed: errno=98". The
// call is the Error's context up to its arguments.
std::string errnoLine(const Error& failed) {
  return failed.context.substr(0, failed.context.find('(')) +
         "() failed: errno=" + std::to_string(failed.code);
}

// Which script a stop cut short, for the log: its size and its first line, shown
// as printable ASCII and cut to 80 characters, since the log escapes nothing.
std::string describeScript(std::string_view script) {
  std::string_view firstLine = script.substr(0, script.find('\n'));
  std::string shown;
  for (char c : firstLine.substr(0, 80)) shown += (c >= 0x20 && c < 0x7f) ? c : '?';
  return "the script of " + std::to_string(script.size()) + " bytes whose first line is \"" +
         shown + "\"" + (firstLine.size() > 80 ? "..." : "");
}

std::string signalName(int signo) {
  switch (signo) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    default:
      return "signal " + std::to_string(signo);
  }
}

}  // namespace

void writeFullResponse(int fd, std::string_view response, std::chrono::milliseconds stallLimit) {
  // Whatever stops the response (a peer gone, a stall) ends this connection only;
  // the daemon has nothing more to tell it.
  (void)sendAllWaiting(fd, response, MSG_DONTWAIT,
                       [stallLimit] { return Clock::now() + stallLimit; });
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
  std::string line =
      "refused peer uid=" + std::to_string(peer.uid) + " pid=" + std::to_string(peer.pid);
  if (!peer.note.empty()) line += " " + peer.note;
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

Result<UniqueFd> setUpListeningSocket(const std::string& socketPath) {
  // Scripts never inherit the daemon's sockets (close-on-exec). The socket file
  // comes into being owner-only and is opened up only by the chmod below; the
  // daemon has one thread, so the brief umask change touches no other file.
  Result<UniqueFd> listener = listenUnixExclusive(socketPath, 5, 077);
  if (!listener) return listener;
  // Lets clients that are not root connect; who may actually use the daemon is
  // decided per connection by the peer check. A failure leaves root alone admitted.
  (void)::chmod(socketPath.c_str(), 0666);
  return listener;
}

void serveNextConnection(int listenFd, HelperServices& services) {
  // Waits for a client or a stop; refusals held back by the rate limit are
  // written once their second is over, even when nobody connects after them.
  for (;;) {
    std::optional<Clock::time_point> due = services.refusals.flushDue();
    const int timeoutMs = due ? pollTimeoutUntil(*due) : -1;
    struct pollfd entries[2] = {{listenFd, POLLIN, 0}, {services.stopFd, POLLIN, 0}};
    int ready = ::poll(entries, 2, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready > 0 && entries[1].revents != 0) return;
    // A failed poll is left to accept to report.
    if (ready != 0) break;
    services.refusals.flush(Clock::now(), services.log);
  }
  Result<UniqueFd> accepted = acceptConnection(listenFd);
  if (!accepted) {
    services.log(errnoLine(accepted.error()));
    std::this_thread::sleep_for(kAcceptRetryPause);
    return;
  }
  UniqueFd connection = std::move(*accepted);
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

  // What has come by the deadline, or before a failed read, is the request.
  ReadToClose request = readUntilClosed(connection.get(), deadline, services.limits.maxBytes);
  if (!request.end && request.end.error().kind == ErrorKind::kTooLarge) {
    services.log("request too large: more than " + std::to_string(services.limits.maxBytes) +
                 " bytes");
    writeFullResponse(connection.get(), requestTooLargeResponse(), stallLimit);
    return;
  }
  writeFullResponse(connection.get(),
                    handleRequest(request.bytes, services.runScript, services.log), stallLimit);
}

HelperRunEnd runHelperServer(const HelperServerOptions& options) {
  // A client that hangs up before its response is written must not end the daemon.
  ::signal(SIGPIPE, SIG_IGN);
  LogFunction log = fileLogger(options.logPath, 0640);
  log("veltovpn-helper " + std::string(HELPER_VERSION) + " starting...");
  if (Status caught = catchStopSignals(); !caught) {
    log("cannot catch stop signals: " + caught.error().message());
    return {};
  }
  Result<UniqueFd> listening = setUpListeningSocket(options.socketPath);
  if (!listening) {
    const Error& failed = listening.error();
    if (failed.kind == ErrorKind::kTaken) {
      log("another veltovpn-helper is serving " + options.socketPath);
    } else {
      log(errnoLine(failed));
    }
    // Told apart for the exit status: a service manager that restarts a failed
    // daemon must not start a duplicate again and again. Asked afresh, so that
    // one that came up between the probe and the bind counts too.
    return {.anotherServes = unixSocketAnswers(options.socketPath)};
  }
  UniqueFd listener = std::move(*listening);
  log("listening on " + options.socketPath);

  std::unique_ptr<PeerAuthorizer> authorizer = makePlatformPeerAuthorizer(options.clientGroup);
  if (std::optional<std::string> notice = authorizer->startNotice()) log(*notice);
  // The service manager may send clients from now on: the socket listens and
  // every connection can be judged.
  notifyReady(log);
  std::optional<std::string> cutShort;
  auto runner = [&cutShort](const std::string& script) {
    ScriptResult result = runScript(script, {.stopFd = stopRequestFd()});
    if (result.stopped) cutShort = describeScript(script);
    return result;
  };
  HelperServices services{*authorizer, runner, log, RequestLimits{}, {}, stopRequestFd()};
  while (stopSignal() == 0) serveNextConnection(listener.get(), services);
  log("stopped by " + signalName(stopSignal()) + "; " +
      (cutShort ? "cut short: " + *cutShort : std::string("no script was running")));
  return {.stopSignal = stopSignal()};
}

}  // namespace velto
