// The shared Unix-socket pieces against the real kernel: a listener's file, who
// the peer is, the probe that tells a live server from a stale file, and waits
// that must end at their deadline even when the peer never does anything.
#include "common/unix_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <optional>
#include <thread>
#include <vector>

#include "common/io.h"
#include "common/peer_credentials.h"
#include "common/testing/sockets.h"
#include "common/testing/temp_dir.h"

namespace velto {
namespace {

// Connects without accepting until `path`'s listen queue takes no more; the
// connections are kept in `queued`.
void fillQueue(const std::string& path, std::vector<UniqueFd>& queued) {
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
}

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
  EXPECT_EQ(taken.error().message(), "bind(" + path + "): " + errnoText(EADDRINUSE));

  ASSERT_EQ(::unlink(path.c_str()), 0);
  // A listener too busy to take one more connection is alive all the same: its
  // queue is full, not gone.
  {
    Result<UniqueFd> busy = listenUnix(path, 0, 077);
    ASSERT_TRUE(busy.ok()) << busy.error().message();
    std::vector<UniqueFd> queued;
    ASSERT_NO_FATAL_FAILURE(fillQueue(path, queued));
    EXPECT_TRUE(unixSocketAnswers(path));
  }
}

// The file of a server that is gone is taken over; a live server keeps its
// socket, and its clients still reach it.
TEST(UnixSocketTest, ExclusiveListenReplacesAStaleFileButNeverALiveServer) {
  test_support::TempDir dir;
  const std::string path = dir.file("s.sock");
  { ASSERT_TRUE(listenUnix(path, 4).ok()); }  // leaves its file behind

  Result<UniqueFd> first = listenUnixExclusive(path, 4, 077);
  ASSERT_TRUE(first.ok()) << first.error().message();
  Result<UniqueFd> second = listenUnixExclusive(path, 4, 077);
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().kind, ErrorKind::kTaken);
  EXPECT_EQ(second.error().code, EADDRINUSE);

  Result<UniqueFd> client = connectUnix(path);
  ASSERT_TRUE(client.ok()) << client.error().message();
  Result<UniqueFd> accepted = test_support::acceptWithin(first->get());
  ASSERT_TRUE(accepted.ok()) << accepted.error().message();
  EXPECT_TRUE(::fcntl(accepted->get(), F_GETFD) & FD_CLOEXEC);
}

// A server that never accepts, its queue full: a connect with a deadline gives
// up instead of waiting for good.
TEST(UnixSocketTest, ConnectToAFullQueueEndsAtItsDeadline) {
  test_support::TempDir dir;
  const std::string path = dir.file("s.sock");
  Result<UniqueFd> busy = listenUnix(path, 0);
  ASSERT_TRUE(busy.ok()) << busy.error().message();
  std::vector<UniqueFd> queued;
  ASSERT_NO_FATAL_FAILURE(fillQueue(path, queued));

  Result<UniqueFd> late =
      connectUnix(path, std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
  ASSERT_FALSE(late.ok());
  EXPECT_TRUE(late.error().code == EAGAIN || late.error().code == EWOULDBLOCK)
      << late.error().message();
  EXPECT_EQ(late.error().context, "connect " + path);
}

// Reading a connection to its end: what ends it decides what the caller gets.
TEST(UnixSocketTest, ReadUntilClosedTellsCloseDeadlineAndBoundApart) {
  struct Case {
    const char* name;
    std::string sent;
    bool peerCloses;
    size_t maxBytes;
    std::optional<ErrorKind> end;  // nothing: success
    std::string bytes;
  };
  const std::string big(200000, 'b');  // more than one read, and than the socket buffer
  const Case cases[] = {
      {"closed", "request", true, SIZE_MAX, std::nullopt, "request"},
      {"closed after many reads", big, true, SIZE_MAX, std::nullopt, big},
      {"exactly at the bound", big, true, big.size(), std::nullopt, big},
      {"one byte past the bound", big + "x", true, big.size(), ErrorKind::kTooLarge, ""},
      {"never closed", "partial", false, SIZE_MAX, ErrorKind::kTimedOut, "partial"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result<std::pair<UniqueFd, UniqueFd>> pair = test_support::socketPair();
    ASSERT_TRUE(pair.ok()) << pair.error().message();
    UniqueFd& reader = pair->first;
    UniqueFd& writer = pair->second;
    std::thread peer([&] {
      // Blocks until the reader drains the buffer; a peer past the bound must
      // not be reset before it has sent everything.
      EXPECT_TRUE(sendAll(writer.get(), c.sent).ok());
      if (c.peerCloses) writer.reset();
    });
    // A peer that never closes has sent its few bytes before the wait starts.
    if (!c.peerCloses) peer.join();
    const auto deadline = std::chrono::steady_clock::now() +
                          (c.peerCloses ? test_support::kPatience : std::chrono::milliseconds(50));
    ReadToClose read = readUntilClosed(reader.get(), deadline, c.maxBytes);
    if (peer.joinable()) peer.join();
    if (c.end) {
      ASSERT_FALSE(read.end.ok());
      EXPECT_EQ(read.end.error().kind, *c.end);
    } else {
      EXPECT_TRUE(read.end.ok()) << read.end.error().message();
    }
    EXPECT_EQ(read.bytes, c.bytes);
  }
}

// A signal that interrupts a waiting accept is no failure: the connection that
// comes after it is accepted.
TEST(UnixSocketTest, AcceptOutlastsInterruptingSignals) {
  struct sigaction action = {}, previous;
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);  // no SA_RESTART: accept returns EINTR
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  test_support::TempDir dir;
  const std::string path = dir.file("s.sock");
  Result<UniqueFd> listener = listenUnix(path, 4);
  ASSERT_TRUE(listener.ok()) << listener.error().message();

  const pthread_t acceptor = ::pthread_self();
  std::thread client([&] {
    for (int i = 0; i < 5; ++i) {
      ::pthread_kill(acceptor, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Result<UniqueFd> connected = connectUnix(path);
    EXPECT_TRUE(connected.ok());
    if (connected) test_support::readToEnd(connected->get());
  });
  Result<UniqueFd> accepted = acceptConnection(listener->get());
  EXPECT_TRUE(accepted.ok()) << accepted.error().message();
  if (accepted) accepted->reset();  // ends the client's read
  client.join();
  ::sigaction(SIGUSR1, &previous, nullptr);
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
