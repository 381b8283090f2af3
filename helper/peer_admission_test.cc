// Who the macOS rule admits, for every combination of the facts it may consult.
#include "helper/peer_admission.h"

#include <gtest/gtest.h>

namespace velto {
namespace {

constexpr uid_t kRoot = 0, kAtConsole = 501, kInBackground = 502;
constexpr ClientRule kSigned = ClientRule::kSignedClient, kDev = ClientRule::kConsoleUser;

TEST(PeerAdmissionTest, SignatureDecidesWhenRequiredElseTheConsoleUser) {
  struct Case {
    const char* name;
    ClientRule rule;
    uid_t uid;
    std::optional<uid_t> console;
    bool signedClient;
    bool admitted;
  } cases[] = {
      {"root, unsigned", kSigned, kRoot, kAtConsole, false, true},
      {"signed app of the user at the console", kSigned, kAtConsole, kAtConsole, true, true},
      {"signed app of a user in the background", kSigned, kInBackground, kAtConsole, true, true},
      {"signed app, console unreadable", kSigned, kInBackground, std::nullopt, true, true},
      {"unsigned program of the console user", kSigned, kAtConsole, kAtConsole, false, false},
      {"development build: root", kDev, kRoot, std::nullopt, false, true},
      {"development build: the console user", kDev, kAtConsole, kAtConsole, false, true},
      {"development build: user in the background", kDev, kInBackground, kAtConsole, true, false},
      {"development build: console unreadable", kDev, kAtConsole, std::nullopt, false, false},
  };
  for (const Case& c : cases) {
    bool askedForSignature = false;
    const bool admitted = admitsPeer(
        c.rule, c.uid, [&] { return c.console; },
        [&] {
          askedForSignature = true;
          return c.signedClient;
        });
    EXPECT_EQ(admitted, c.admitted) << c.name;
    // The signature is the costly fact, and a development build has none to check.
    EXPECT_EQ(askedForSignature, c.rule == kSigned && c.uid != kRoot) << c.name;
  }
}

}  // namespace
}  // namespace velto
