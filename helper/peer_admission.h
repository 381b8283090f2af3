// The rule by which the macOS daemon admits a peer, apart from how the facts
// about it are read, so that it can be checked anywhere. Daemon thread only.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <span>
#include <string>

#include "common/result.h"

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
// why it cannot be read) and `satisfiesRequirement` (the peer's code
// against the build's requirement).
bool admitsPeer(ClientRule rule, uid_t uid, const std::function<Result<uid_t>()>& consoleOwner,
                const std::function<bool()>& satisfiesRequirement);

// The signature of a refused peer's code, as its audit token names it. Both are
// empty for code that is not signed, the team alone for ad-hoc signed code.
struct CodeSignature {
  std::string identifier;
  std::string team;
};

// What the log adds to a refused peer's line: "signature unreadable", "unsigned",
// or "signed identifier=<id> team=<team or none>", followed by " (one of this
// build's clients: the requirement does not admit it)" when the identifier is one
// of `clientIdentifiers`, the bundle's executables that talk to the helper. So a
// requirement that leaves out the bundle's own client shows in the log. Bytes
// other than letters, digits, '.', '-' and '_' are written as '?'.
std::string describeRefusedSignature(const std::optional<CodeSignature>& signature,
                                     std::span<const char* const> clientIdentifiers);

}  // namespace velto
