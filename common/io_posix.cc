// POSIX implementations of the shared I/O helpers. Any thread.
#include "common/io.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <type_traits>

namespace velto {

std::string errnoText(int err) {
  char buffer[256] = {};
  // The XSI and GNU variants differ in their result type; both fill the buffer
  // or return a pointer to the message, which this overload pair sorts out.
  auto pick = [&](auto result) -> std::string {
    if constexpr (std::is_same_v<decltype(result), char*>) {
      return result ? std::string(result) : std::string("errno ") + std::to_string(err);
    } else {
      return result == 0 ? std::string(buffer) : std::string("errno ") + std::to_string(err);
    }
  };
  return pick(strerror_r(err, buffer, sizeof buffer));
}

namespace {

template <typename WriteOnce>
bool writeLoop(std::string_view data, WriteOnce writeOnce) {
  size_t offset = 0;
  while (offset < data.size()) {
    ssize_t n = writeOnce(data.data() + offset, data.size() - offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    offset += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool writeAll(int fd, std::string_view data) {
  return writeLoop(data, [fd](const char* p, size_t n) { return ::write(fd, p, n); });
}

bool sendAll(int fd, std::string_view data) {
#ifdef MSG_NOSIGNAL
  constexpr int kFlags = MSG_NOSIGNAL;
#else
  constexpr int kFlags = 0;
#endif
  return writeLoop(data, [fd](const char* p, size_t n) { return ::send(fd, p, n, kFlags); });
}

void disableSigpipe(int fd) {
#ifdef SO_NOSIGPIPE
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#else
  (void)fd;
#endif
}

bool fillUnixAddress(std::string_view path, sockaddr_un* address) {
  memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  memcpy(address->sun_path, path.data(), path.size());
  return true;
}

ssize_t readRetrying(int fd, void* buffer, size_t size) {
  for (;;) {
    ssize_t n = ::read(fd, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

bool setCloseOnExec(int fd) {
  int flags = ::fcntl(fd, F_GETFD);
  if (flags < 0) return false;
  return ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

}  // namespace velto
