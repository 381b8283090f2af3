// peerCredentials through getpeereid and LOCAL_PEERPID. Any thread.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/peer_credentials.h"

namespace velto {

Result<PeerCredentials> peerCredentials(int fd) {
  PeerCredentials peer;
  if (::getpeereid(fd, &peer.uid, &peer.gid) != 0) return errnoError("getpeereid");
  // The pid is for the log only: a peer whose pid cannot be read keeps -1.
  pid_t pid = 0;
  socklen_t size = sizeof pid;
  if (::getsockopt(fd, SOL_LOCAL, LOCAL_PEERPID, &pid, &size) == 0 && size == sizeof pid) {
    peer.pid = pid;
  }
  return peer;
}

}  // namespace velto
