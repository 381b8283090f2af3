// The shared Unix-socket pieces against the real kernel: a listener's file, who
// the peer is, and the probe that tells a live server from a stale file.
#include "common/unix_socket.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <vector>

#include "common/io.h"
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

  ASSERT_EQ(::unlink(path.c_str()), 0);
  // A listener too busy to take one more connection is alive all the same: its
  // queue is full, not gone.
  {
    Result<UniqueFd> busy = listenUnix(path, 0, 077);
    ASSERT_TRUE(busy.ok()) << busy.error().message();
    std::vector<UniqueFd> queued;
    for (bool full = false; !full && queued.size() < 64;) {
      Result<UniqueFd> client = unixStreamSocket();
      ASSERT_TRUE(client.ok());
      ASSERT_TRUE(setNonBlocking(client->get()).ok());
      sockaddr_un address;
      ASSERT_TRUE(fillUnixAddress(path, &address).ok());
      full = ::connect(client->get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0;
      ASSERT_TRUE(!full || errno == EAGAIN) << errnoText(errno);
      queued.push_back(std::move(*client));
    }
    ASSERT_LT(queued.size(), 64u) << "the queue never filled";
    EXPECT_TRUE(unixSocketAnswers(path));
  }
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
