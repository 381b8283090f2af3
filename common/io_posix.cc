// POSIX implementations of the shared I/O helpers. Any thread.
#include "common/io.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "common/paths.h"

namespace velto {

namespace {

template <typename WriteOnce>
Status writeLoop(const char* call, std::string_view data, WriteOnce writeOnce) {
  size_t offset = 0;
  while (offset < data.size()) {
    ssize_t n = writeOnce(data.data() + offset, data.size() - offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errnoError(call);
    }
    if (n == 0) return Error{call, EIO};
    offset += static_cast<size_t>(n);
  }
  return {};
}

}  // namespace

Status writeAll(int fd, std::string_view data) {
  return writeLoop("write", data, [fd](const char* p, size_t n) { return ::write(fd, p, n); });
}

Status sendAll(int fd, std::string_view data) {
  return writeLoop("send", data,
                   [fd](const char* p, size_t n) { return ::send(fd, p, n, kSendNoSignal); });
}

Status sendAllWaiting(int fd, std::string_view data, int flags,
                      const DeadlineFunction& stallDeadline) {
  size_t offset = 0;
  while (offset < data.size()) {
    ssize_t n = ::send(fd, data.data() + offset, data.size() - offset, flags | kSendNoSignal);
    if (n > 0) {
      offset += static_cast<size_t>(n);
      continue;
    }
    if (n == 0) return Error{"send", EIO};
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return errnoError("send");
    Result<bool> ready = waitUntilReady(fd, POLLOUT, stallDeadline());
    if (!ready) return ready.error();
    if (!*ready)
      return Error{"no room to send before the deadline", ETIMEDOUT, ErrorKind::kTimedOut};
  }
  return {};
}

Status disableSigpipe(int fd) {
#ifdef SO_NOSIGPIPE
  int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) != 0) {
    return errnoError("setsockopt(SO_NOSIGPIPE)");
  }
#else
  (void)fd;
#endif
  return {};
}

Status fillUnixAddress(std::string_view path, sockaddr_un* address) {
  memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) {
    return Error{"socket path " + std::string(path), ENAMETOOLONG};
  }
  memcpy(address->sun_path, path.data(), path.size());
  return {};
}

Result<size_t> readRetrying(int fd, void* buffer, size_t size) {
  for (;;) {
    ssize_t n = ::read(fd, buffer, size);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return errnoError("read");
  }
}

Status setCloseOnExec(int fd) {
  int flags = ::fcntl(fd, F_GETFD);
  if (flags < 0 || ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) != 0) {
    return errnoError("fcntl(FD_CLOEXEC)");
  }
  return {};
}

Status setNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    return errnoError("fcntl(O_NONBLOCK)");
  }
  return {};
}

Result<Pipe> makeCloseOnExecPipe() {
  int ends[2];
#if VELTO_HAVE_PIPE2
  if (::pipe2(ends, O_CLOEXEC) != 0) return errnoError("pipe2");
  return Pipe{UniqueFd(ends[0]), UniqueFd(ends[1])};
#else
  if (::pipe(ends) != 0) return errnoError("pipe");
  Pipe pipe{UniqueFd(ends[0]), UniqueFd(ends[1])};
  if (Status set = setCloseOnExec(pipe.readEnd.get()); !set) return set.error();
  if (Status set = setCloseOnExec(pipe.writeEnd.get()); !set) return set.error();
  return pipe;
#endif
}

Result<UniqueFd> openRetrying(const std::string& path, int flags, mode_t mode) {
  for (;;) {
    UniqueFd fd(::open(path.c_str(), flags, mode));
    if (fd) return fd;
    if (errno != EINTR) return errnoError("open");
  }
}

Result<std::optional<int>> waitForChild(pid_t pid, int options) {
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, options);
    if (done > 0) return std::optional<int>(status);
    if (done == 0) return std::optional<int>();
    if (errno != EINTR) return errnoError("waitpid");
  }
}

int pollTimeoutUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, 60000));
}

Result<bool> waitUntilReady(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    // Checked before each poll: a peer that keeps its socket ready must not
    // stretch a wait past its deadline.
    if (std::chrono::steady_clock::now() >= deadline) return false;
    struct pollfd entry = {fd, events, 0};
    int n = ::poll(&entry, 1, pollTimeoutUntil(deadline));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return errnoError("poll");
  }
}

Result<bool> readyNow(int fd, short events) {
  for (;;) {
    struct pollfd entry = {fd, events, 0};
    int n = ::poll(&entry, 1, 0);
    if (n >= 0) return n > 0;
    if (errno != EINTR) return errnoError("poll");
  }
}

namespace {

bool isDirectory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

Status createDirectories(const std::string& path) {
  // The common case, an existing directory, costs one mkdir and one stat; the
  // parents are only walked when something is missing.
  if (::mkdir(path.c_str(), 0700) == 0) return {};
  int err = errno;
  if (err == EEXIST) {
    if (isDirectory(path)) return {};
    return Error{path, err};
  }
  if (err != ENOENT || path == "/") return Error{path, err};
  if (Status parent = createDirectories(parentPath(path)); !parent) return parent;
  if (::mkdir(path.c_str(), 0700) == 0) return {};
  err = errno;
  if (err == EEXIST && isDirectory(path)) return {};  // made by someone else meanwhile
  return Error{path, err};
}

}  // namespace velto
