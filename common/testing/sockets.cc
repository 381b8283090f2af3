#include "common/testing/sockets.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "common/io.h"

namespace velto::test_support {

bool bindAndListen(int fd, const std::string& path) {
  sockaddr_un address;
  if (!fillUnixAddress(path, &address)) {
    errno = ENAMETOOLONG;
    return false;
  }
  return ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 8) == 0;
}

namespace {

UniqueFd streamSocket() {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (fd && !setCloseOnExec(fd.get())) fd.reset();
  return fd;
}

}  // namespace

UniqueFd listenAt(const std::string& path) {
  UniqueFd fd = streamSocket();
  if (!fd || !bindAndListen(fd.get(), path)) return UniqueFd();
  return fd;
}

UniqueFd connectTo(const std::string& path) {
  sockaddr_un address;
  UniqueFd fd = streamSocket();
  if (!fd || !fillUnixAddress(path, &address)) return UniqueFd();
  int result;
  do {
    result = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return UniqueFd();
  disableSigpipe(fd.get());
  return fd;
}

std::pair<UniqueFd, UniqueFd> socketPair() {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return {};
  UniqueFd a(ends[0]), b(ends[1]);
  if (!setCloseOnExec(a.get()) || !setCloseOnExec(b.get())) return {};
  disableSigpipe(a.get());
  disableSigpipe(b.get());
  return {std::move(a), std::move(b)};
}

bool readableWithin(int fd, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
    if (ready >= 0) return ready == 1;
    if (errno != EINTR) return false;
  }
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
  ssize_t n;
  while ((n = readRetrying(fd, buffer, sizeof buffer)) > 0) data.append(buffer, static_cast<size_t>(n));
  return data;
}

std::string readLine(int fd) {
  std::string line;
  char c;
  while (readRetrying(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

}  // namespace velto::test_support
