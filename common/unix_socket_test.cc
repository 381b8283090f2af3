// The shared Unix-socket pieces against the real kernel: a listener's file, who
// the peer is, and the probe that tells a live server from a stale file.
#include "common/unix_socket.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/peer_credentials.h"
#include "common/testing/sockets.h"
#include "common/testing/temp_dir.h"

namespace velto {
namespace {

TEST(UnixSocketTest, ProbeTellsALiveListenerFromAStaleFile) {
  test_support::TempDir dir;
  const std::string path = dir.file("s.sock");
  EXPECT_FALSE(unixSocketAnswers(path));  // nothing there
  {
    Result<UniqueFd> listener = listenUnix(path, 4, 077);
    ASSERT_TRUE(listener.ok()) << listener.error().message();
    EXPECT_TRUE(unixSocketAnswers(path));
    struct stat info;
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);  // owner only, whatever the umask
  }
  EXPECT_FALSE(unixSocketAnswers(path));  // the file outlives its listener

  Result<UniqueFd> taken = listenUnix(path, 4);
  ASSERT_FALSE(taken.ok());
  EXPECT_EQ(taken.error().context, "bind");
  EXPECT_EQ(taken.error().code, EADDRINUSE);
}

TEST(UnixSocketTest, PeerCredentialsAreThoseOfTheConnectingProcess) {
  Result<std::pair<UniqueFd, UniqueFd>> pair = test_support::socketPair();
  ASSERT_TRUE(pair.ok()) << pair.error().message();
  auto& [a, b] = *pair;
  Result<PeerCredentials> peer = peerCredentials(a.get());
  ASSERT_TRUE(peer.ok()) << peer.error().message();
  EXPECT_EQ(peer->uid, ::geteuid());
  EXPECT_EQ(peer->gid, ::getegid());
  EXPECT_EQ(peer->pid, ::getpid());

  Result<PeerCredentials> none = peerCredentials(-1);
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error().code, EBADF);
}

}  // namespace
}  // namespace velto
