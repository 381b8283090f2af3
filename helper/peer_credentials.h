// Who may talk to the helper daemon. The daemon asks a PeerAuthorizer about every
// accepted connection before it reads a byte of it; each platform supplies one in
// a file of its own (peer_credentials_<platform>.cc) that CMake picks. Called on
// the daemon's one thread.
//
// What each platform admits:
// - Linux: uid 0, and processes that carry the group kHelperClientGroup as their
//   gid or a supplementary group, read through SO_PEERCRED and SO_PEERGROUPS.
// - macOS: uid 0, and any peer whose code (found by its audit token) satisfies
//   VELTOVPN_HELPER_CODE_REQUIREMENT, whatever its user; a development build
//   without a requirement admits the user who owns /dev/console instead
//   (helper/peer_admission.h has the rule). A refused peer's signing identifier
//   and team go into the log.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "build_config.h"

namespace velto {

// The group whose members may use the daemon, besides root.
inline constexpr const char* kHelperClientGroup = VELTOVPN_HELPER_CLIENT_GROUP;
// The signing identifiers of the bundle's executables that talk to the daemon
// (macOS): the launcher's, the main binary's and any others the build names.
inline constexpr const char* kHelperClientIdentifiers[] = {VELTOVPN_HELPER_CLIENT_IDENTIFIERS};

struct PeerDecision {
  bool allowed = false;
  // Who the peer is, for the log; -1 where the platform could not tell.
  long long uid = -1;
  long long pid = -1;
  // What the log adds about a refused peer (its code signature on macOS); empty
  // where the platform has nothing to add.
  std::string note;
};

class PeerAuthorizer {
 public:
  virtual ~PeerAuthorizer() = default;

  // Decides about the peer of the connected Unix-domain socket `fd`. A peer whose
  // identity cannot be read is refused.
  virtual PeerDecision check(int fd) = 0;

  // A line for the daemon's log at start when the admission rules in force need
  // one (a check that this build leaves out, say); none by default.
  virtual std::optional<std::string> startNotice() const { return std::nullopt; }
};

// The authorizer of the platform this program was built for, with the admission
// rules above; `clientGroup` is the admitted group where the platform admits by
// group (Linux), looked up once here.
std::unique_ptr<PeerAuthorizer> makePlatformPeerAuthorizer(
    const std::string& clientGroup = kHelperClientGroup);

}  // namespace velto
