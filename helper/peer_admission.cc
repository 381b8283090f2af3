// The macOS admission rule, kept free of platform calls. Daemon thread only.
#include "helper/peer_admission.h"

#include <algorithm>
#include <string_view>

namespace velto {

bool admitsPeer(ClientRule rule, uid_t uid, const std::function<Result<uid_t>()>& consoleOwner,
                const std::function<bool()>& satisfiesRequirement) {
  if (uid == 0) return true;
  switch (rule) {
    case ClientRule::kSignedClient:
      return satisfiesRequirement();
    case ClientRule::kConsoleUser: {
      // A console that cannot be read admits nobody but root.
      const Result<uid_t> console = consoleOwner();
      return console.ok() && *console == uid;
    }
  }
  return false;
}

namespace {

// The signer chose these strings: nothing in them may shape the log line.
std::string logSafe(std::string_view text) {
  std::string safe(text);
  for (char& c : safe) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-' || c == '_';
    if (!plain) c = '?';
  }
  return safe;
}

}  // namespace

std::string describeRefusedSignature(const std::optional<CodeSignature>& signature,
                                     std::span<const char* const> clientIdentifiers) {
  if (!signature) return "signature unreadable";
  if (signature->identifier.empty() && signature->team.empty()) return "unsigned";
  std::string text = "signed identifier=" + logSafe(signature->identifier) +
                     " team=" + (signature->team.empty() ? "none" : logSafe(signature->team));
  const bool client = std::any_of(clientIdentifiers.begin(), clientIdentifiers.end(),
                                  [&](const char* id) { return signature->identifier == id; });
  if (client) text += " (one of this build's clients: the requirement does not admit it)";
  return text;
}

}  // namespace velto
