// peerUid through getpeereid. Any thread.
#include <unistd.h>

#include "common/peer_uid.h"

namespace velto {

std::optional<uid_t> peerUid(int fd) {
  uid_t uid = 0;
  gid_t gid = 0;
  if (::getpeereid(fd, &uid, &gid) != 0) return std::nullopt;
  return uid;
}

}  // namespace velto
