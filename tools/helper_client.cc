// The helper socket client. Any thread; no shared state.
#include "tools/helper_client.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include "common/io.h"
#include "common/unique_fd.h"
#include "common/unix_socket.h"

namespace velto {
namespace {

using Clock = std::chrono::steady_clock;

// A failure told in the tool's own words; the daemon's clients show it as it is.
Error failure(std::string message) { return Error{std::move(message)}; }

int millisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until `fd` is ready for `events` or the deadline passes; false on
// time-out or error.
bool waitFor(int fd, short events, Clock::time_point deadline) {
  Result<bool> ready = waitUntilReady(fd, events, deadline);
  return ready.ok() && *ready;
}

// The exchange; `connected` is set once the daemon's socket has taken the connection.
Result<std::string> exchangeOnce(const std::string& socketPath, std::string_view request,
                                 std::chrono::milliseconds timeout, bool& connected) {
  const Clock::time_point deadline = Clock::now() + timeout;

  struct sockaddr_un address;
  if (!fillUnixAddress(socketPath, &address).ok()) {
    return failure("socket path too long: " + socketPath);
  }

  Result<UniqueFd> socket = unixStreamSocket();
  if (!socket) return socket.error();
  UniqueFd fd = std::move(*socket);

  // A daemon busy with a long script leaves new callers in its listen queue; when
  // that queue is full, connect waits, bounded here by the send time-out.
  int leftMs = millisecondsLeft(deadline);
  struct timeval connectWait = {leftMs / 1000, static_cast<suseconds_t>((leftMs % 1000) * 1000)};
  // Without the bound connect waits as long as the daemon's queue stays full,
  // which the daemon's own time-out limits; worth no failure of its own.
  (void)::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &connectWait, sizeof connectWait);
  for (;;) {
    if (::connect(fd.get(), reinterpret_cast<struct sockaddr*>(&address), sizeof address) == 0) {
      connected = true;
      break;
    }
    const int err = errno;
    if (err == EINTR) continue;
    return Error{"connect " + socketPath, err};
  }
  if (Status set = setNonBlocking(fd.get()); !set) return set.error();

  // Send the request. A daemon that refuses the caller answers and closes without
  // reading; the write then fails, and the answer is still waiting to be read.
  if (Status sent = sendAllWaiting(fd.get(), request, 0, [deadline] { return deadline; });
      !sent && sent.error().context != "send") {
    return failure("timed out sending the request");
  }
  // The daemon reads to end of stream; should the shutdown fail, its time-out ends the read.
  (void)::shutdown(fd.get(), SHUT_WR);

  std::string response;
  char buffer[16384];
  for (;;) {
    ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
    if (n > 0) {
      response.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!waitFor(fd.get(), POLLIN, deadline)) {
        return failure("no response within " + std::to_string(timeout.count()) + " ms");
      }
      continue;
    }
    // The daemon closed with part of the request unread: what arrived before
    // the reset is the whole answer.
    if (errno == ECONNRESET) break;
    return errnoError("recv");
  }
  if (response.empty()) return failure("connection closed without a response");

  return response;
}

}  // namespace

HelperExchange sendHelperRequest(const std::string& socketPath, std::string_view request,
                                 std::chrono::milliseconds timeout) {
  HelperExchange exchange{Error{}, false};
  exchange.response = exchangeOnce(socketPath, request, timeout, exchange.connected);
  return exchange;
}

}  // namespace velto
