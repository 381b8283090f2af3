// The rule by which the macOS daemon admits a peer, apart from how the facts
// about it are read, so that it can be checked anywhere. Daemon thread only.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>

namespace velto {

// What the macOS helper checks besides root.
enum class ClientRule {
  // A build that names a code requirement: the caller's signature pins the
  // client, whichever user runs it (a user switched to the background included).
  kSignedClient,
  // A development build without one: only the user at the console, the sole
  // protection such a build has.
  kConsoleUser,
};

// Whether a peer running as `uid` is admitted under `rule`. The facts are asked
// for only when the rule needs them: `consoleOwner` (the uid at the console, or
// nothing when it cannot be read) and `satisfiesRequirement` (the peer's code
// against the build's requirement).
bool admitsPeer(ClientRule rule, uid_t uid,
                const std::function<std::optional<uid_t>()>& consoleOwner,
                const std::function<bool()>& satisfiesRequirement);

}  // namespace velto
