#include "helper/peer_credentials_linux.h"

#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "helper/helper_server.h"
#include "helper/server_test_support.h"

namespace velto {
namespace {

struct Case {
  const char* name;
  uid_t uid;
  gid_t gid;
  std::string group;
  bool allowed;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class LinuxPeerCheck : public ::testing::TestWithParam<Case> {};

TEST_P(LinuxPeerCheck, AdmitsRootAndMembersOfTheGroup) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run clients as other users";
  const Case& c = GetParam();
  testing::TempSocketDir dir;
  UniqueFd listener = setUpListeningSocket(dir.socketPath(), [](std::string_view) {});
  ASSERT_TRUE(listener.valid());
  testing::UserClient client = testing::startClientAs(c.uid, c.gid, dir.socketPath(), "x");
  UniqueFd connection(accept(listener.get(), nullptr, nullptr));
  ASSERT_TRUE(connection.valid());

  LinuxPeerAuthorizer authorizer(c.group);
  PeerDecision decision = authorizer.check(connection.get());
  connection.reset();
  testing::finishUserClient(client);
  EXPECT_EQ(decision.allowed, c.allowed);
  EXPECT_EQ(decision.uid, static_cast<long long>(c.uid));
  EXPECT_EQ(decision.pid, static_cast<long long>(client.pid));
}

// uid 65534 is "nobody", whose primary group is "nogroup"; uid 1 is "daemon", a
// supplementary member of no group but its own. "sudo" has no such members.
INSTANTIATE_TEST_SUITE_P(
    Peers, LinuxPeerCheck,
    ::testing::Values(Case{"RootAlways", 0, 0, "no-such-group-here", true},
                      Case{"MemberByPrimaryGroup", 65534, 65534, "nogroup", true},
                      Case{"NotAMember", 65534, 65534, "sudo", false},
                      Case{"MissingGroup", 65534, 65534, "no-such-group-here", false},
                      Case{"UnknownUser", 54321, 54321, "nogroup", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velto
