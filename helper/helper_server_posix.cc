// The helper daemon's socket server on POSIX sockets. The daemon's one thread.
#include "helper/helper_server.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <thread>

#include "common/io.h"
#include "helper/readiness.h"
#include "helper/script_runner.h"
#include "helper/utf8_text.h"

namespace velto {
namespace {

using Clock = std::chrono::steady_clock;

// Pause after an accept failure other than an interruption, so that a lasting one
// (out of descriptors) does not spin and flood the log.
constexpr std::chrono::milliseconds kAcceptRetryPause{100};

std::string errnoLine(const char* call, int err) {
  return std::string(call) + "() failed: errno=" + std::to_string(err);
}

// Waits for input on `fd` until `deadline`. False on time-out.
bool waitReadable(int fd, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    struct pollfd entry = {fd, POLLIN, 0};
    int n = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left, 60000)));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

}  // namespace

RequestRead readFullRequest(int fd, Clock::time_point deadline, size_t maxBytes) {
  RequestRead result;
  std::string bytes;
  char buffer[65536];
  while (waitReadable(fd, deadline)) {
    ssize_t n = readRetrying(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    if (result.tooLarge) continue;
    if (bytes.size() + static_cast<size_t>(n) > maxBytes) {
      result.tooLarge = true;
      std::string().swap(bytes);
      continue;
    }
    bytes.append(buffer, static_cast<size_t>(n));
  }
  if (!result.tooLarge && isValidUtf8(bytes)) result.text = std::move(bytes);
  return result;
}

void writeFullResponse(int fd, std::string_view response) {
  sendAll(fd, response);
}

UniqueFd setUpListeningSocket(const std::string& socketPath, const LogFunction& log) {
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

void serveNextConnection(int listenFd, const HelperServices& services) {
  int fd;
  do {
    fd = ::accept(listenFd, nullptr, nullptr);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    services.log(errnoLine("accept", errno));
    std::this_thread::sleep_for(kAcceptRetryPause);
    return;
  }
  UniqueFd connection(fd);
  const Clock::time_point deadline = Clock::now() + services.limits.timeout;
  setCloseOnExec(connection.get());
  disableSigpipe(connection.get());
  // A client that stops reading its response cannot hold the daemon for longer
  // than this per stalled write.
  auto sendWait = std::chrono::duration_cast<std::chrono::microseconds>(services.limits.timeout);
  struct timeval sendTimeout = {static_cast<time_t>(sendWait.count() / 1000000),
                                static_cast<suseconds_t>(sendWait.count() % 1000000)};
  ::setsockopt(connection.get(), SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);

  PeerDecision peer = services.authorizer.check(connection.get());
  if (!peer.allowed) {
    services.log("refused peer uid=" + std::to_string(peer.uid) +
                 " pid=" + std::to_string(peer.pid));
    writeFullResponse(connection.get(),
                      jsonResponse({{"success", false}, {"error", std::string("unauthorized peer")}}));
    return;
  }

  RequestRead request = readFullRequest(connection.get(), deadline, services.limits.maxBytes);
  if (request.tooLarge) {
    services.log("request too large: more than " + std::to_string(services.limits.maxBytes) +
                 " bytes");
    writeFullResponse(connection.get(),
                      jsonResponse({{"success", false}, {"error", std::string("request too large")}}));
    return;
  }
  writeFullResponse(connection.get(),
                    handleRequest(request.text, services.runScript, services.log));
}

int runHelperServer(const std::string& socketPath, const std::string& logPath) {
  // A client that hangs up before its response is written must not end the daemon.
  ::signal(SIGPIPE, SIG_IGN);
  LogFunction log = fileLogger(logPath);
  log("veltovpn-helper " + std::string(HELPER_VERSION) + " starting...");
  UniqueFd listener = setUpListeningSocket(socketPath, log);
  if (!listener) return 1;
  notifyReady(log);

  std::unique_ptr<PeerAuthorizer> authorizer = makePlatformPeerAuthorizer();
  if (std::optional<std::string> notice = authorizer->startNotice()) log(*notice);
  HelperServices services{*authorizer,
                          [](const std::string& script) { return runScript(script); }, log,
                          RequestLimits{}};
  for (;;) serveNextConnection(listener.get(), services);
}

}  // namespace velto
