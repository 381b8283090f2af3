// Who the macOS rule admits, for every combination of the facts it may consult.
#include "helper/peer_admission.h"

#include <errno.h>
#include <gtest/gtest.h>

#include "helper/peer_credentials.h"

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
        c.rule, c.uid,
        [&]() -> Result<uid_t> {
          if (c.console) return *c.console;
          return Error{"/dev/console", EACCES};
        },
        [&] {
          askedForSignature = true;
          return c.signedClient;
        });
    EXPECT_EQ(admitted, c.admitted) << c.name;
    // The signature is the costly fact, and a development build has none to check.
    EXPECT_EQ(askedForSignature, c.rule == kSigned && c.uid != kRoot) << c.name;
  }
}

TEST(PeerAdmissionTest, RefusedSignatureSaysWhetherItIsOneOfTheBundlesClients) {
  // The build's list names the launcher (the bundle's identifier) and at least
  // the main binary, which is what connects after the launcher's execv.
  const std::span<const char* const> clients = kHelperClientIdentifiers;
  ASSERT_GE(clients.size(), 2u);
  EXPECT_STREQ(clients[0], VELTOVPN_BUNDLE_ID);
  const std::string ours = " (one of this build's clients: the requirement does not admit it)";
  for (const char* client : clients) {
    EXPECT_EQ(describeRefusedSignature(CodeSignature{client, "ABCDE12345"}, clients),
              "signed identifier=" + std::string(client) + " team=ABCDE12345" + ours);
  }
  struct Case {
    std::optional<CodeSignature> signature;
    std::string logged;
  } cases[] = {
      {std::nullopt, "signature unreadable"},
      {CodeSignature{}, "unsigned"},
      // What codesign makes of the main binary's file name when not told otherwise.
      {CodeSignature{"veltoVpn-bin", "ABCDE12345"},
       "signed identifier=veltoVpn-bin team=ABCDE12345"},
      {CodeSignature{std::string(clients[0]) + "x", ""},
       "signed identifier=" + std::string(clients[0]) + "x team=none"},
      {CodeSignature{"", "ABCDE12345"}, "signed identifier= team=ABCDE12345"},
      {CodeSignature{"x\nrefused peer uid=0 \xff", "T 1"},
       "signed identifier=x?refused?peer?uid?0?? team=T?1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(describeRefusedSignature(c.signature, clients), c.logged);
  }
}

}  // namespace
}  // namespace velto
