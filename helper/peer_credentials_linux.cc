// Peer check on Linux: SO_PEERCRED for the peer's uid and pid, the group database
// for membership. Daemon thread only (the NSS lookups are re-entrant, but the
// daemon has no other thread anyway).
#include "helper/peer_credentials_linux.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace velto {
namespace {

// Runs a re-entrant passwd or group lookup, growing its scratch buffer while the
// entry does not fit. Returns false when there is no such entry.
template <typename Entry, typename Lookup>
bool lookUp(Entry& entry, std::vector<char>& buffer, Lookup lookup) {
  for (size_t size = 16384; size <= (1u << 22); size *= 2) {
    buffer.resize(size);
    Entry* found = nullptr;
    int err = lookup(&entry, buffer.data(), buffer.size(), &found);
    if (err == ERANGE) continue;
    return err == 0 && found != nullptr;
  }
  return false;
}

bool userBelongsToGroup(uid_t uid, const std::string& group) {
  struct group groupEntry;
  std::vector<char> groupBuffer;
  if (!lookUp(groupEntry, groupBuffer, [&](struct group* e, char* b, size_t n, struct group** r) {
        return ::getgrnam_r(group.c_str(), e, b, n, r);
      })) {
    return false;
  }
  const gid_t wanted = groupEntry.gr_gid;

  struct passwd userEntry;
  std::vector<char> userBuffer;
  if (!lookUp(userEntry, userBuffer, [&](struct passwd* e, char* b, size_t n, struct passwd** r) {
        return ::getpwuid_r(uid, e, b, n, r);
      })) {
    return false;
  }
  const struct passwd* user = &userEntry;
  if (user->pw_gid == wanted) return true;

  // getgrouplist reports the size it needs when the list is too short.
  std::vector<gid_t> groups(64);
  for (int attempt = 0; attempt < 4; ++attempt) {
    int count = static_cast<int>(groups.size());
    if (::getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) >= 0) {
      groups.resize(static_cast<size_t>(count));
      return std::find(groups.begin(), groups.end(), wanted) != groups.end();
    }
    groups.resize(static_cast<size_t>(std::max(count, static_cast<int>(groups.size()) * 2)));
  }
  return false;
}

}  // namespace

PeerDecision LinuxPeerAuthorizer::check(int fd) {
  PeerDecision decision;
  struct ucred credentials = {};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
      size != sizeof credentials) {
    return decision;
  }
  decision.uid = static_cast<long long>(credentials.uid);
  decision.pid = static_cast<long long>(credentials.pid);
  decision.allowed = credentials.uid == 0 || userBelongsToGroup(credentials.uid, group_);
  return decision;
}

std::unique_ptr<PeerAuthorizer> makePlatformPeerAuthorizer() {
  return std::make_unique<LinuxPeerAuthorizer>(HELPER_CLIENT_GROUP);
}

}  // namespace velto
