// The helper socket client. Any thread; no shared state.
#include "tools/helper_client.h"

#include <errno.h>
#include <sys/socket.h>

#include "common/io.h"
#include "common/unique_fd.h"
#include "common/unix_socket.h"

namespace velto {
namespace {

using Clock = std::chrono::steady_clock;

// A failure told in the tool's own words; the daemon's clients show it as it is.
Error failure(std::string message) { return Error{std::move(message)}; }

// Sends `request` and ends the sending side. A daemon that refuses the caller
// answers and closes without reading; the write then fails, and the answer is
// still waiting to be read: only running out of time fails here.
Status sendRequest(int fd, std::string_view request, Clock::time_point deadline) {
  if (Status sent = sendAllWaiting(fd, request, 0, [deadline] { return deadline; });
      !sent && sent.error().kind == ErrorKind::kTimedOut) {
    return failure("timed out sending the request");
  }
  // The daemon reads to end of stream; should the shutdown fail, its time-out ends the read.
  (void)::shutdown(fd, SHUT_WR);
  return {};
}

// The daemon's answer, read up to its close; `timeout` is what the deadline allowed.
Result<std::string> readResponse(int fd, Clock::time_point deadline,
                                 std::chrono::milliseconds timeout) {
  // The daemon closing with part of the request unread resets the connection:
  // what arrived before the reset is the whole answer.
  ReadToClose answer = readUntilClosed(fd, deadline);
  if (!answer.end) {
    if (answer.end.error().kind == ErrorKind::kTimedOut) {
      return failure("no response within " + std::to_string(timeout.count()) + " ms");
    }
    return answer.end.error();
  }
  if (answer.bytes.empty()) return failure("connection closed without a response");
  return std::move(answer.bytes);
}

// The exchange; `connected` is set once the daemon's socket has taken the connection.
Result<std::string> exchangeOnce(const std::string& socketPath, std::string_view request,
                                 std::chrono::milliseconds timeout, bool& connected) {
  const Clock::time_point deadline = Clock::now() + timeout;

  // A daemon busy with a long script leaves new callers in its listen queue; when
  // that queue is full, connect waits, bounded here by the deadline.
  Result<UniqueFd> socket = connectUnix(socketPath, deadline);
  if (!socket) {
    if (socket.error().code == ENAMETOOLONG) return failure("socket path too long: " + socketPath);
    return socket.error();
  }
  connected = true;
  UniqueFd fd = std::move(*socket);
  if (Status set = setNonBlocking(fd.get()); !set) return set.error();
  if (Status sent = sendRequest(fd.get(), request, deadline); !sent) return sent.error();
  return readResponse(fd.get(), deadline, timeout);
}

}  // namespace

HelperExchange sendHelperRequest(const std::string& socketPath, std::string_view request,
                                 std::chrono::milliseconds timeout) {
  HelperExchange exchange{Error{}, false};
  exchange.response = exchangeOnce(socketPath, request, timeout, exchange.connected);
  return exchange;
}

}  // namespace velto
