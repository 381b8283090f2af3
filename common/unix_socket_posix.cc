// Unix-domain socket set-up on POSIX systems. Any thread; listenUnix briefly
// changes the process umask.
#include "common/unix_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/io.h"

namespace velto {

namespace {

using Clock = std::chrono::steady_clock;

// Bounds connect(2) on a full listen queue, which waits no longer than the
// socket's send time-out. A time-out of 0 would mean none at all, so the
// shortest is one millisecond.
void boundConnectWait(int fd, Clock::time_point deadline) {
  const long long ms = std::max<long long>(
      1, std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count());
  struct timeval wait = {static_cast<time_t>(ms / 1000),
                         static_cast<suseconds_t>((ms % 1000) * 1000)};
  // Without the bound connect waits as long as the server's queue stays full,
  // which the server's own time-outs limit; worth no failure of its own.
  (void)::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
}

}  // namespace

Result<UniqueFd> unixStreamSocket() {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (!fd) return errnoError("socket");
  if (Status set = setCloseOnExec(fd.get()); !set) return set.error();
  if (Status set = disableSigpipe(fd.get()); !set) return set.error();
  return fd;
}

Status connectUnixSocket(int fd, const std::string& path) {
  struct sockaddr_un address;
  if (Status filled = fillUnixAddress(path, &address); !filled) {
    return Error{"connect " + path, filled.error().code};
  }
  while (::connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) {
    const int err = errno;
    if (err != EINTR) return Error{"connect " + path, err};
  }
  return {};
}

Result<UniqueFd> connectUnix(const std::string& path, std::optional<Clock::time_point> deadline) {
  Result<UniqueFd> fd = unixStreamSocket();
  if (!fd) return fd;
  if (deadline) boundConnectWait(fd->get(), *deadline);
  if (Status connected = connectUnixSocket(fd->get(), path); !connected) return connected.error();
  if (deadline) {
    // Sends after the connect are the caller's to bound.
    struct timeval none = {0, 0};
    (void)::setsockopt(fd->get(), SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
  }
  return fd;
}

bool unixSocketAnswers(const std::string& path) {
  struct sockaddr_un address;
  if (!fillUnixAddress(path, &address).ok()) return false;
  Result<UniqueFd> probe = unixStreamSocket();
  if (!probe) return false;
  if (!setNonBlocking(probe->get()).ok()) return false;
  if (::connect(probe->get(), reinterpret_cast<struct sockaddr*>(&address), sizeof address) == 0) {
    return true;
  }
  return errno == EAGAIN || errno == EINPROGRESS;
}

Result<UniqueFd> listenUnix(const std::string& path, int backlog, std::optional<mode_t> bindMask) {
  Result<UniqueFd> listener = unixStreamSocket();
  if (!listener) return Error{"socket()", listener.error().code};
  const std::string binding = "bind(" + path + ")";
  struct sockaddr_un address;
  if (Status filled = fillUnixAddress(path, &address); !filled) {
    return Error{binding, filled.error().code};
  }
  const mode_t previousMask = bindMask ? ::umask(*bindMask) : 0;
  const int bound =
      ::bind(listener->get(), reinterpret_cast<struct sockaddr*>(&address), sizeof address);
  const int bindError = errno;
  if (bindMask) ::umask(previousMask);
  if (bound != 0) return Error{binding, bindError};
  if (::listen(listener->get(), backlog) != 0) {
    const int err = errno;
    (void)::unlink(path.c_str());  // bound just now, so the file is this call's
    return Error{"listen()", err};
  }
  return listener;
}

Result<UniqueFd> listenUnixExclusive(const std::string& path, int backlog,
                                     std::optional<mode_t> bindMask) {
  if (unixSocketAnswers(path)) {
    return Error{"a server answers at " + path, EADDRINUSE, ErrorKind::kTaken};
  }
  (void)::unlink(path.c_str());  // a file left by an earlier run; missing is normal
  return listenUnix(path, backlog, bindMask);
}

Result<UniqueFd> acceptConnection(int listener) {
  for (;;) {
#if VELTO_HAVE_ACCEPT4
    UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
#else
    UniqueFd fd(::accept(listener, nullptr, nullptr));
#endif
    if (!fd) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return errnoError("accept");
    }
#if !VELTO_HAVE_ACCEPT4
    if (Status set = setCloseOnExec(fd.get()); !set) return set.error();
#endif
    return fd;
  }
}

ReadToClose readUntilClosed(int fd, Clock::time_point deadline, size_t maxBytes) {
  ReadToClose result;
  bool tooLarge = false;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      if (tooLarge) continue;
      if (result.bytes.size() + static_cast<size_t>(n) > maxBytes) {
        tooLarge = true;
        std::string().swap(result.bytes);
        continue;
      }
      result.bytes.append(buffer, static_cast<size_t>(n));
      continue;
    }
    // A reset after the peer's last bytes ends the stream as a close does.
    if (n == 0 || errno == ECONNRESET) break;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      result.end = errnoError("recv");
      break;
    }
    Result<bool> ready = waitUntilReady(fd, POLLIN, deadline);
    if (!ready) {
      result.end = ready.error();
      break;
    }
    if (!*ready) {
      result.end = Error{"no end of stream before the deadline", ETIMEDOUT, ErrorKind::kTimedOut};
      break;
    }
  }
  if (tooLarge) {
    result.end = Error{"more than " + std::to_string(maxBytes) + " bytes", 0, ErrorKind::kTooLarge};
  }
  return result;
}

}  // namespace velto
