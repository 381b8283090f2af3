// The helper client against a real socket: the whole request out, the whole
// answer back, the longest socket path, and the failures it reports instead.
#include "tools/helper_client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/io.h"
#include "common/testing/sockets.h"
#include "common/testing/temp_dir.h"
#include "common/unique_fd.h"
#include "common/unix_socket.h"

namespace velto {
namespace {

using std::chrono::seconds;
using ::testing::HasSubstr;

// A listening socket at a path of the longest length a socket path may have,
// so that every exchange also shows such a path served whole.
class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(listener_.ok()) << listener_.error().message(); }
  void TearDown() override {
    if (server_.joinable()) server_.join();
  }

  // Serves one connection on a thread with `serve`.
  void serveOnce(std::function<void(int)> serve) {
    server_ = std::thread([this, serve] {
      Result<UniqueFd> connection = test_support::acceptWithin(listener_->get());
      if (connection) serve(connection->get());
    });
  }

  test_support::TempDir dir_{"helper-client-test"};
  const std::string path_ =
      dir_.file("s") + std::string(sizeof(sockaddr_un::sun_path) - 3 - dir_.path().size(), 's');
  Result<UniqueFd> listener_ = listenUnix(path_, 8);
  std::thread server_;
};

TEST_F(ClientTest, SendsTheWholeRequestAndReadsTheResponseToClose) {
  ASSERT_EQ(path_.size(), sizeof(sockaddr_un::sun_path) - 1);
  const std::string request(1 << 20, 'r');  // larger than any socket buffer
  std::string received;
  serveOnce([&](int fd) {
    received = test_support::readToEnd(fd);  // ends only once the client shut down its side
    ASSERT_TRUE(writeAll(fd, "{\"success\":").ok());
    ASSERT_TRUE(writeAll(fd, "true}").ok());
  });
  Result<std::string> reply = sendHelperRequest(path_, request, seconds(30)).response;
  server_.join();
  ASSERT_TRUE(reply.ok()) << reply.error().message();
  EXPECT_EQ(*reply, "{\"success\":true}");
  EXPECT_EQ(received, request);

  Result<std::string> refused = sendHelperRequest(path_ + "s", "{}", seconds(30)).response;
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message(), "socket path too long: " + path_ + "s");
}

TEST_F(ClientTest, ReturnsAnAnswerSentBeforeTheRequestWasRead) {
  serveOnce([](int fd) {
    ASSERT_TRUE(sendAll(fd, "{\"success\":false,\"error\":\"unauthorized peer\"}").ok());
    ::shutdown(fd, SHUT_WR);
  });
  Result<std::string> reply =
      sendHelperRequest(path_, std::string(4 << 20, 'x'), seconds(30)).response;
  ASSERT_TRUE(reply.ok()) << reply.error().message();
  EXPECT_EQ(*reply, "{\"success\":false,\"error\":\"unauthorized peer\"}");
}

// A failure after the daemon took the connection leaves the request's outcome
// unknown; one before it means nothing was done.
TEST_F(ClientTest, ReportsFailuresInsteadOfAResponse) {
  // A daemon that never answers: the client gives up at its time-out.
  UniqueFd held;
  serveOnce([&](int fd) { held.reset(::dup(fd)); });
  HelperExchange silent = sendHelperRequest(path_, "{}", std::chrono::milliseconds(200));
  ASSERT_FALSE(silent.response.ok());
  EXPECT_THAT(silent.response.error().message(), HasSubstr("no response"));
  EXPECT_TRUE(silent.connected);
  server_.join();
  held.reset();

  // A daemon that reads the request and closes without a word (it was stopped).
  serveOnce([](int fd) { (void)test_support::readToEnd(fd); });
  HelperExchange closed = sendHelperRequest(path_, "{}", seconds(30));
  ASSERT_FALSE(closed.response.ok());
  EXPECT_THAT(closed.response.error().message(), HasSubstr("without a response"));
  EXPECT_TRUE(closed.connected);
  server_.join();

  HelperExchange missing = sendHelperRequest(dir_.file("absent.sock"), "{}", seconds(1));
  ASSERT_FALSE(missing.response.ok());
  EXPECT_THAT(missing.response.error().message(), HasSubstr("connect"));
  EXPECT_FALSE(missing.connected);
}

}  // namespace
}  // namespace velto
