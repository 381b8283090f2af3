// Peer check on Linux: the connecting process's own credentials, SO_PEERCRED for
// its uid, gid and pid and SO_PEERGROUPS for its supplementary groups. The group
// database is read once, at start. Daemon thread only.
#include "helper/peer_credentials_linux.h"

#include <errno.h>
#include <grp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "common/peer_credentials.h"

namespace velto {

std::unique_ptr<LinuxPeerAuthorizer> LinuxPeerAuthorizer::forGroupName(
    const std::string& groupName) {
  struct group entry;
  struct group* found = nullptr;
  std::vector<char> buffer;
  std::optional<gid_t> gid;
  // The scratch buffer grows while the entry (with its member list) does not fit.
  for (size_t size = 16384; size <= (1u << 24); size *= 2) {
    buffer.resize(size);
    int err = ::getgrnam_r(groupName.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (err == ERANGE) continue;
    if (err == 0 && found != nullptr) gid = found->gr_gid;
    break;
  }
  return std::make_unique<LinuxPeerAuthorizer>(gid, groupName);
}

bool LinuxPeerAuthorizer::carriesGroup(int fd, gid_t primary) const {
  if (!group_) return false;
  if (primary == *group_) return true;
#ifdef SO_PEERGROUPS
  // The kernel reports the size it needs when the list is too short.
  std::vector<gid_t> groups(64);
  for (int attempt = 0; attempt < 4; ++attempt) {
    socklen_t size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
      groups.resize(size / sizeof(gid_t));
      return std::find(groups.begin(), groups.end(), *group_) != groups.end();
    }
    if (errno != ERANGE) return false;
    groups.resize(std::max<size_t>(size / sizeof(gid_t), groups.size() * 2));
  }
#else
  (void)fd;
#endif
  return false;
}

PeerDecision LinuxPeerAuthorizer::check(int fd) {
  PeerDecision decision;
  Result<PeerCredentials> peer = peerCredentials(fd);
  if (!peer.ok()) return decision;
  decision.uid = static_cast<long long>(peer->uid);
  decision.pid = static_cast<long long>(peer->pid);
  decision.allowed = peer->uid == 0 || carriesGroup(fd, peer->gid);
  return decision;
}

std::optional<std::string> LinuxPeerAuthorizer::startNotice() const {
  if (group_) return std::nullopt;
  return "client group " + groupName_ + " does not exist: only root may use the daemon";
}

std::unique_ptr<PeerAuthorizer> makePlatformPeerAuthorizer(const std::string& clientGroup) {
  return LinuxPeerAuthorizer::forGroupName(clientGroup);
}

}  // namespace velto
