// Peer check on macOS: the peer's uid (getpeereid) and pid (LOCAL_PEERPID). Root
// is admitted; when the build names a code-signing requirement, so is any peer
// whose code, found by its audit token (LOCAL_PEERTOKEN), satisfies it, whatever
// its user. A build without one admits the user who owns /dev/console instead.
// A peer the requirement refuses is logged with its signing identifier and team.
// Daemon thread only.
#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>
#include <bsm/libbsm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/peer_credentials.h"
#include "common/scoped_handle.h"
#include "helper/peer_admission.h"
#include "helper/peer_credentials.h"

namespace velto {

namespace {

// The code-signing requirement a client must satisfy; empty skips the check.
constexpr const char* kHelperCodeRequirement = VELTOVPN_HELPER_CODE_REQUIREMENT;

// Owns one Core Foundation reference.
template <typename Ref>
struct CFTraits {
  using Handle = Ref;
  static Ref empty() { return nullptr; }
  static void free(Ref ref) { CFRelease(ref); }
};
template <typename Ref>
using CFHolder = ScopedHandle<CFTraits<Ref>>;

// The UTF-8 text of `text`; empty for null.
std::string utf8(CFStringRef text) {
  if (text == nullptr) return {};
  const CFIndex length = CFStringGetLength(text);
  const CFIndex size = CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8) + 1;
  std::vector<char> buffer(static_cast<size_t>(size));
  if (!CFStringGetCString(text, buffer.data(), size, kCFStringEncodingUTF8)) return {};
  return buffer.data();
}

// The string under `key` of a signing-information dictionary; empty when absent.
std::string infoString(CFDictionaryRef info, CFStringRef key) {
  const void* value = CFDictionaryGetValue(info, key);
  if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID()) return {};
  return utf8(static_cast<CFStringRef>(value));
}

// The uid that owns /dev/console; root while nobody is logged in.
Result<uid_t> consoleOwner() {
  struct stat info;
  if (::stat("/dev/console", &info) != 0) return errnoError("stat(/dev/console)");
  return info.st_uid;
}

class MacPeerAuthorizer final : public PeerAuthorizer {
 public:
  explicit MacPeerAuthorizer(std::string requirementText)
      : requirementText_(std::move(requirementText)) {
    if (requirementText_.empty()) return;
    CFHolder<CFStringRef> text(CFStringCreateWithCString(
        kCFAllocatorDefault, requirementText_.c_str(), kCFStringEncodingUTF8));
    // A requirement that does not compile admits nobody: requirement_ stays null.
    if (text.get() != nullptr) {
      SecRequirementCreateWithString(text.get(), kSecCSDefaultFlags, requirement_.out());
    }
  }

  std::optional<std::string> startNotice() const override {
    if (requirementText_.empty()) {
      return "code-signature check of clients skipped: this build names no requirement; "
             "only root and the user at the console are admitted";
    }
    if (requirement_.get() == nullptr) {
      return "code-signature requirement does not compile, every client is refused: " +
             requirementText_;
    }
    return std::nullopt;
  }

  PeerDecision check(int fd) override {
    PeerDecision decision;
    Result<PeerCredentials> peer = peerCredentials(fd);
    if (!peer.ok()) return decision;
    const uid_t uid = peer->uid;
    decision.uid = static_cast<long long>(uid);
    decision.pid = static_cast<long long>(peer->pid);

    const ClientRule rule =
        requirementText_.empty() ? ClientRule::kConsoleUser : ClientRule::kSignedClient;
    CFHolder<SecCodeRef> code;
    decision.allowed = admitsPeer(rule, uid, consoleOwner, [&] {
      code = peerCode(fd);
      return code.get() != nullptr && requirement_.get() != nullptr &&
             SecCodeCheckValidity(code.get(), kSecCSDefaultFlags, requirement_.get()) ==
                 errSecSuccess;
    });
    if (!decision.allowed && rule == ClientRule::kSignedClient) {
      decision.note = describeRefusedSignature(signatureOf(code.get()), kHelperClientIdentifiers);
    }
    return decision;
  }

 private:
  // The peer's code, named by its audit token (which, unlike a pid, cannot be
  // reused by another process); null when it cannot be found.
  static CFHolder<SecCodeRef> peerCode(int fd) {
    CFHolder<SecCodeRef> code;
    audit_token_t token;
    socklen_t size = sizeof token;
    if (::getsockopt(fd, SOL_LOCAL, LOCAL_PEERTOKEN, &token, &size) != 0 || size != sizeof token) {
      return code;
    }
    CFHolder<CFDataRef> tokenData(
        CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(&token), sizeof token));
    if (tokenData.get() == nullptr) return code;
    const void* keys[] = {kSecGuestAttributeAudit};
    const void* values[] = {tokenData.get()};
    CFHolder<CFDictionaryRef> attributes(CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1,
                                                            &kCFTypeDictionaryKeyCallBacks,
                                                            &kCFTypeDictionaryValueCallBacks));
    if (attributes.get() == nullptr) return code;
    if (SecCodeCopyGuestWithAttributes(nullptr, attributes.get(), kSecCSDefaultFlags, code.out()) !=
        errSecSuccess) {
      return CFHolder<SecCodeRef>();
    }
    return code;
  }

  // The signing identifier and team of `code`, for the log; nothing when they
  // cannot be read.
  static std::optional<CodeSignature> signatureOf(SecCodeRef code) {
    if (code == nullptr) return std::nullopt;
    CFHolder<CFDictionaryRef> info;
    // A running process is also a static code object: its file's signature.
    if (SecCodeCopySigningInformation(reinterpret_cast<SecStaticCodeRef>(code),
                                      kSecCSSigningInformation, info.out()) != errSecSuccess ||
        info.get() == nullptr) {
      return std::nullopt;
    }
    return CodeSignature{infoString(info.get(), kSecCodeInfoIdentifier),
                         infoString(info.get(), kSecCodeInfoTeamIdentifier)};
  }

  const std::string requirementText_;
  CFHolder<SecRequirementRef> requirement_;
};

}  // namespace

std::unique_ptr<PeerAuthorizer> makePlatformPeerAuthorizer(const std::string&) {
  return std::make_unique<MacPeerAuthorizer>(kHelperCodeRequirement);
}

}  // namespace velto
