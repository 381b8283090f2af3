// The Linux peer check, exposed so that tests can name the admitted group. The
// daemon itself uses makePlatformPeerAuthorizer(). Daemon thread only.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "helper/peer_credentials.h"

namespace velto {

// Admits uid 0 and the processes that carry the admitted group as their gid or as
// one of their supplementary groups, as the kernel recorded them when the peer
// connected (SO_PEERCRED, SO_PEERGROUPS). A process that dropped the group is
// refused, whatever the user database says.
class LinuxPeerAuthorizer : public PeerAuthorizer {
 public:
  // `group` is the admitted gid; none admits root alone. `groupName` is for the
  // start notice.
  LinuxPeerAuthorizer(std::optional<gid_t> group, std::string groupName)
      : group_(group), groupName_(std::move(groupName)) {}

  // Looks the group up by name, once: no user-database lookup happens per
  // connection, so a slow directory service cannot stall the daemon.
  static std::unique_ptr<LinuxPeerAuthorizer> forGroupName(const std::string& groupName);

  PeerDecision check(int fd) override;
  std::optional<std::string> startNotice() const override;

 private:
  bool carriesGroup(int fd, gid_t primary) const;

  std::optional<gid_t> group_;
  std::string groupName_;
};

}  // namespace velto
