#include "common/testing/sockets.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "common/io.h"
#include "common/unix_socket.h"

namespace velto::test_support {

Status bindAndListen(int fd, const std::string& path) {
  sockaddr_un address;
  if (Status filled = fillUnixAddress(path, &address); !filled) return filled;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return errnoError("bind");
  }
  if (::listen(fd, 8) != 0) return errnoError("listen");
  return {};
}

Result<std::pair<UniqueFd, UniqueFd>> socketPair() {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return errnoError("socketpair");
  UniqueFd a(ends[0]), b(ends[1]);
  for (const UniqueFd* end : {&a, &b}) {
    if (Status set = setCloseOnExec(end->get()); !set) return set.error();
    if (Status set = disableSigpipe(end->get()); !set) return set.error();
  }
  return std::pair(std::move(a), std::move(b));
}

bool readableWithin(int fd, std::chrono::milliseconds patience) {
  Result<bool> ready = waitUntilReady(fd, POLLIN, std::chrono::steady_clock::now() + patience);
  return ready.ok() && *ready;
}

Result<UniqueFd> acceptWithin(int listener, std::chrono::milliseconds patience) {
  if (!readableWithin(listener, patience)) return Error{"accept", ETIMEDOUT, ErrorKind::kTimedOut};
  return acceptConnection(listener);
}

std::string readToEnd(int fd, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  std::string data;
  char buffer[65536];
  for (;;) {
    Result<bool> ready = waitUntilReady(fd, POLLIN, deadline);
    if (!ready.ok() || !*ready) return data;
    Result<size_t> n = readRetrying(fd, buffer, sizeof buffer);
    if (!n.ok() || *n == 0) return data;
    data.append(buffer, *n);
  }
}

std::string readLine(int fd) {
  std::string line;
  char c;
  for (Result<size_t> n = readRetrying(fd, &c, 1); n.ok() && *n == 1 && c != '\n';
       n = readRetrying(fd, &c, 1)) {
    line += c;
  }
  return line;
}

}  // namespace velto::test_support
