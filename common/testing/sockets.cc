#include "common/testing/sockets.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "common/io.h"
#include "common/unix_socket.h"

namespace velto::test_support {

bool bindAndListen(int fd, const std::string& path) {
  sockaddr_un address;
  if (Status filled = fillUnixAddress(path, &address); !filled) {
    errno = filled.error().code;
    return false;
  }
  return ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
         ::listen(fd, 8) == 0;
}

namespace {

UniqueFd streamSocket() {
  Result<UniqueFd> fd = unixStreamSocket();
  if (!fd) {
    errno = fd.error().code;
    return UniqueFd();
  }
  return std::move(*fd);
}

}  // namespace

UniqueFd listenAt(const std::string& path) {
  Result<UniqueFd> fd = listenUnix(path, 8);
  if (!fd) {
    errno = fd.error().code;
    return UniqueFd();
  }
  return std::move(*fd);
}

UniqueFd connectTo(const std::string& path) {
  sockaddr_un address;
  UniqueFd fd = streamSocket();
  if (!fd || !fillUnixAddress(path, &address).ok()) return UniqueFd();
  int result;
  do {
    result = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return UniqueFd();
  return fd;
}

std::pair<UniqueFd, UniqueFd> socketPair() {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return {};
  UniqueFd a(ends[0]), b(ends[1]);
  for (const UniqueFd* end : {&a, &b}) {
    if (!setCloseOnExec(end->get()).ok() || !disableSigpipe(end->get()).ok()) return {};
  }
  return {std::move(a), std::move(b)};
}

bool readableWithin(int fd, std::chrono::milliseconds patience) {
  Result<bool> ready = waitUntilReady(fd, POLLIN, std::chrono::steady_clock::now() + patience);
  return ready.ok() && *ready;
}

UniqueFd acceptWithin(int listener, std::chrono::milliseconds patience) {
  if (!readableWithin(listener, patience)) return UniqueFd();
  int fd;
  do {
    fd = ::accept(listener, nullptr, nullptr);
  } while (fd < 0 && errno == EINTR);
  UniqueFd connection(fd);
  if (connection && !setCloseOnExec(connection.get())) connection.reset();
  return connection;
}

std::string readToEnd(int fd) {
  std::string data;
  char buffer[65536];
  for (Result<size_t> n = readRetrying(fd, buffer, sizeof buffer); n.ok() && *n > 0;
       n = readRetrying(fd, buffer, sizeof buffer)) {
    data.append(buffer, *n);
  }
  return data;
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
