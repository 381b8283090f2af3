#include "common/io.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "common/testing/sockets.h"
#include "common/unique_fd.h"

namespace velto {
namespace {

TEST(IoTest, WriteAllCompletesWritesLargerThanThePipe) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  UniqueFd reader(fds[0]), writer(fds[1]);
  const std::string big(1 << 20, 'x');  // far beyond a pipe's buffer
  std::string received;
  std::thread drain([&] { received = test_support::readToEnd(reader.get()); });
  EXPECT_TRUE(writeAll(writer.get(), big).ok());
  writer.reset();
  drain.join();
  EXPECT_EQ(received, big);
}

TEST(IoTest, SendAllToClosedPeerFailsWithoutKillingTheProcess) {
  Result<std::pair<UniqueFd, UniqueFd>> pair = test_support::socketPair();
  ASSERT_TRUE(pair.ok()) << pair.error().message();
  auto& [a, b] = *pair;
  b.reset();
  // With SIGPIPE at its default action this would end the test binary.
  Status sent = sendAll(a.get(), std::string(100000, 'y'));
  ASSERT_FALSE(sent.ok());
  EXPECT_EQ(sent.error().code, EPIPE);
  EXPECT_EQ(sent.error().message(), "send: " + errnoText(EPIPE));
}

TEST(IoTest, UnixAddressTakesPathsUpToThePathFieldLessItsNul) {
  sockaddr_un address;
  const size_t field = sizeof address.sun_path;
  const std::string longest(field - 1, 'p');
  memset(&address, 0x55, sizeof address);
  ASSERT_TRUE(fillUnixAddress(longest, &address).ok());
  EXPECT_EQ(address.sun_family, AF_UNIX);
  EXPECT_EQ(std::string(address.sun_path), longest);  // NUL-terminated within the field
  Status tooLong = fillUnixAddress(longest + "p", &address);
  ASSERT_FALSE(tooLong.ok());
  EXPECT_EQ(tooLong.error().code, ENAMETOOLONG);
  EXPECT_EQ(address.sun_path[0], '\0');
}

}  // namespace
}  // namespace velto
