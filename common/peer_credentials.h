// Who is at the other end of a connected Unix-domain socket: used by both ends
// of the menu-bar bridge, which talk only to their own user, and by the daemon's
// peer check. Each platform supplies peerCredentials() in a file of its own. Any thread.
#pragma once

#include <sys/types.h>

#include "common/result.h"

namespace velto {

struct PeerCredentials {
  uid_t uid = 0;   // effective uid
  gid_t gid = 0;   // effective gid
  pid_t pid = -1;  // -1 where the platform cannot tell
};

// The credentials of the peer of `fd` as the kernel recorded them when the
// connection was made (for a listening peer, when it began to listen).
[[nodiscard]] Result<PeerCredentials> peerCredentials(int fd);

}  // namespace velto
