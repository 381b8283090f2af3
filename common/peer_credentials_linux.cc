// peerCredentials through SO_PEERCRED. Any thread.
#include <errno.h>
#include <sys/socket.h>

#include "common/peer_credentials.h"

namespace velto {

Result<PeerCredentials> peerCredentials(int fd) {
  struct ucred credentials = {};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
    return errnoError("getsockopt(SO_PEERCRED)");
  }
  if (size != sizeof credentials) return Error{"getsockopt(SO_PEERCRED)", EINVAL};
  return PeerCredentials{credentials.uid, credentials.gid, credentials.pid};
}

}  // namespace velto
