// Who the macOS rule admits, for every combination of the facts it may consult.
#include "helper/peer_admission.h"

#include <gtest/gtest.h>

namespace velto {
namespace {

constexpr uid_t kRoot = 0, kAtConsole = 501, kInBackground = 502;

TEST(PeerAdmissionTest, SignatureDecidesWhenRequiredElseTheConsoleUser) {
  struct Case {
    const char* name;
    ClientRule rule;
    uid_t uid;
    std::optional<uid_t> console;
    bool signedClient;
    bool admitted;
  } cases[] = {
      {"root, unsigned", ClientRule::kSignedClient, kRoot, kAtConsole, false, true},
      {"signed app of the user at the console", ClientRule::kSignedClient, kAtConsole, kAtConsole,
       true, true},
      {"signed app of a user in the background", ClientRule::kSignedClient, kInBackground,
       kAtConsole, true, true},
      {"signed app, console unreadable", ClientRule::kSignedClient, kInBackground, std::nullopt,
       true, true},
      {"unsigned program of the user at the console", ClientRule::kSignedClient, kAtConsole,
       kAtConsole, false, false},
      {"development build: root", ClientRule::kConsoleUser, kRoot, std::nullopt, false, true},
      {"development build: the user at the console", ClientRule::kConsoleUser, kAtConsole,
       kAtConsole, false, true},
      {"development build: a user in the background", ClientRule::kConsoleUser, kInBackground,
       kAtConsole, true, false},
      {"development build: console unreadable", ClientRule::kConsoleUser, kAtConsole, std::nullopt,
       false, false},
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
    EXPECT_EQ(askedForSignature, c.rule == ClientRule::kSignedClient && c.uid != kRoot) << c.name;
  }
}

}  // namespace
}  // namespace velto
