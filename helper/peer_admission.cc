// The macOS admission rule, kept free of platform calls. Daemon thread only.
#include "helper/peer_admission.h"

namespace velto {

bool admitsPeer(ClientRule rule, uid_t uid,
                const std::function<std::optional<uid_t>()>& consoleOwner,
                const std::function<bool()>& satisfiesRequirement) {
  if (uid == 0) return true;
  switch (rule) {
    case ClientRule::kSignedClient:
      return satisfiesRequirement();
    case ClientRule::kConsoleUser: {
      const std::optional<uid_t> console = consoleOwner();
      return console.has_value() && *console == uid;
    }
  }
  return false;
}

}  // namespace velto
