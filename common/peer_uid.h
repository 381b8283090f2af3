// Who is at the other end of a connected Unix-domain socket. Used by both ends
// of the menu-bar bridge, which talk only to their own user whatever the socket's
// path. Each platform supplies peerUid() in a file of its own. Any thread.
#pragma once

#include <sys/types.h>

#include <optional>

namespace velto {

// The effective uid of the peer of `fd` (for a listening peer, as it was when it
// began to listen), or nothing with errno set when the system cannot tell.
std::optional<uid_t> peerUid(int fd);

}  // namespace velto
