// The Linux peer check, exposed so that tests can name the admitted group. The
// daemon itself uses makePlatformPeerAuthorizer(). Daemon thread only.
#pragma once

#include <string>

#include "helper/peer_credentials.h"

namespace velto {

// Admits uid 0 and the users who belong to the group named `group` (by their
// primary group or a supplementary one). The peer is read with SO_PEERCRED.
class LinuxPeerAuthorizer : public PeerAuthorizer {
 public:
  explicit LinuxPeerAuthorizer(std::string group) : group_(std::move(group)) {}
  PeerDecision check(int fd) override;

 private:
  std::string group_;
};

}  // namespace velto
