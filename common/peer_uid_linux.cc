// peerUid through SO_PEERCRED. Any thread.
#include <sys/socket.h>

#include "common/peer_uid.h"

namespace velto {

std::optional<uid_t> peerUid(int fd) {
  struct ucred credentials = {};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return std::nullopt;
  return credentials.uid;
}

}  // namespace velto
