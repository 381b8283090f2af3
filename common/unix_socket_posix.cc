// Unix-domain socket set-up on POSIX systems. Any thread; listenUnix briefly
// changes the process umask.
#include "common/unix_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include "common/io.h"

namespace velto {

Result<UniqueFd> unixStreamSocket() {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (!fd) return errnoError("socket");
  if (Status set = setCloseOnExec(fd.get()); !set) return set.error();
  if (Status set = disableSigpipe(fd.get()); !set) return set.error();
  return fd;
}

Result<UniqueFd> connectUnix(const std::string& path) {
  struct sockaddr_un address;
  if (Status filled = fillUnixAddress(path, &address); !filled) {
    return Error{"connect " + path, filled.error().code};
  }
  Result<UniqueFd> fd = unixStreamSocket();
  if (!fd) return fd;
  while (::connect(fd->get(), reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) {
    const int err = errno;
    if (err != EINTR) return Error{"connect " + path, err};
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
  if (!listener) return Error{"socket", listener.error().code};
  struct sockaddr_un address;
  if (Status filled = fillUnixAddress(path, &address); !filled) {
    return Error{"bind", filled.error().code};
  }
  const mode_t previousMask = bindMask ? ::umask(*bindMask) : 0;
  const int bound =
      ::bind(listener->get(), reinterpret_cast<struct sockaddr*>(&address), sizeof address);
  const int bindError = errno;
  if (bindMask) ::umask(previousMask);
  if (bound != 0) return Error{"bind", bindError};
  if (::listen(listener->get(), backlog) != 0) return errnoError("listen");
  return listener;
}

}  // namespace velto
