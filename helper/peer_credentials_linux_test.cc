#include "helper/peer_credentials_linux.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/testing/process.h"
#include "common/testing/sockets.h"
#include "common/testing/temp_dir.h"
#include "common/unix_socket.h"
#include "helper/helper_server.h"

namespace velto {
namespace {

struct Case {
  const char* name;
  uid_t uid;
  gid_t gid;
  std::vector<gid_t> groups;  // the client's supplementary groups
  std::optional<gid_t> admitted;
  bool allowed;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// More groups than the first SO_PEERGROUPS buffer holds.
std::vector<gid_t> manyGroupsEndingWith(gid_t last) {
  std::vector<gid_t> groups;
  for (gid_t g = 10000; g < 10100; ++g) groups.push_back(g);
  groups.push_back(last);
  return groups;
}

class LinuxPeerCheck : public ::testing::TestWithParam<Case> {};

TEST_P(LinuxPeerCheck, AdmitsRootAndProcessesCarryingTheGroup) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run clients as other users";
  const Case& c = GetParam();
  test_support::TempDir dir("helper-peer-test");
  ::chmod(dir.path().c_str(), 0755);  // so that a client of another user reaches the socket
  const std::string path = dir.file("helper.sock");
  Result<UniqueFd> listening = setUpListeningSocket(path);
  ASSERT_TRUE(listening.ok()) << listening.error().message();
  UniqueFd listener = std::move(*listening);
  // The client connects, waits for the end of the connection and reports its pid.
  test_support::ChildAs client({c.uid, c.gid, c.groups}, [&]() -> std::optional<std::string> {
    Result<UniqueFd> fd = connectUnix(path);
    if (!fd) return std::nullopt;
    test_support::readToEnd(fd->get());
    return std::to_string(::getpid());
  });
  Result<UniqueFd> accepted = test_support::acceptWithin(listener.get());
  ASSERT_TRUE(accepted.ok()) << accepted.error().message();
  UniqueFd connection = std::move(*accepted);

  LinuxPeerAuthorizer authorizer(c.admitted, "g");
  PeerDecision decision = authorizer.check(connection.get());
  connection.reset();
  std::optional<std::string> clientPid = client.finish();
  ASSERT_TRUE(clientPid.has_value()) << "the client could not connect as uid " << c.uid;
  EXPECT_EQ(decision.allowed, c.allowed);
  EXPECT_EQ(decision.uid, static_cast<long long>(c.uid));
  EXPECT_EQ(std::to_string(decision.pid), *clientPid);
}

// Only the process's own credentials count: uid 65534 ("nobody", whose database
// group is 65534) is refused for group 65534 once its process has dropped it, and
// users the database does not know are admitted by what they carry.
INSTANTIATE_TEST_SUITE_P(
    Peers, LinuxPeerCheck,
    ::testing::Values(Case{"ByGid", 54321, 4242, {}, 4242, true},
                      Case{"BySupplementaryGroup", 54321, 54321, {7, 4242, 9}, 4242, true},
                      Case{"ManySupplementaryGroups", 54321, 54321, manyGroupsEndingWith(4242),
                           4242, true},
                      Case{"GroupDroppedByTheProcess", 65534, 1, {}, 65534, false},
                      Case{"NotCarried", 54321, 54321, {7, 9}, 4242, false},
                      Case{"NoGroupAdmitsOnlyRoot", 54321, 4242, {4242}, std::nullopt, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LinuxPeerGroup, AMissingOneIsAnnouncedAtStart) {
  EXPECT_EQ(LinuxPeerAuthorizer::forGroupName("root")->startNotice(), std::nullopt);
  EXPECT_EQ(LinuxPeerAuthorizer::forGroupName("no-such-group-here")->startNotice(),
            "client group no-such-group-here does not exist: only root may use the daemon");
}

// The group database as the daemon meets it, with entries of every size: one
// whose member list is larger than the first lookup buffer (16 KiB) is found
// all the same. The entries are read from a file mounted over /etc/group in a
// mount namespace of a child's own, so the machine's database is never touched.
TEST(LinuxPeerGroup, AnEntryOfAnySizeIsFound) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount over /etc/group";
  struct Row {
    const char* name;
    int members;
  } rows[] = {{"velto-small", 3}, {"velto-over-16k", 2000}, {"velto-over-64k", 9000}};
  const test_support::TempDir dir("velto-groups");
  const std::string file = dir.file("group");
  {
    std::ofstream out(file);
    gid_t gid = 42000;
    for (const Row& row : rows) {
      out << row.name << ":x:" << gid++ << ":";
      for (int m = 0; m < row.members; ++m) out << (m ? "," : "") << "member" << m;
      out << "\n";
    }
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(file.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) != 0) {
      ::_exit(100);
    }
    int missing = 0;
    for (size_t i = 0; i < std::size(rows); ++i) {
      if (LinuxPeerAuthorizer::forGroupName(rows[i].name)->startNotice()) missing |= 1 << i;
    }
    ::_exit(missing);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 100) GTEST_SKIP() << "no mount namespace here";
  for (size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(WEXITSTATUS(status) & (1 << i), 0) << rows[i].name << " was not found";
  }
}

}  // namespace
}  // namespace velto
