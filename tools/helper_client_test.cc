#include "tools/helper_client.h"

#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/io.h"
#include "common/unique_fd.h"

namespace velto {
namespace {

// A listening socket in a fresh temporary directory, removed afterwards.
class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/helper-client-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/s.sock";
    listener_.reset(::socket(AF_UNIX, SOCK_STREAM, 0));
    ASSERT_TRUE(listener_.valid());
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, path_.c_str());
    ASSERT_EQ(::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener_.get(), 5), 0);
  }
  void TearDown() override {
    if (server_.joinable()) server_.join();
    listener_.reset();
    ::unlink(path_.c_str());
    ::rmdir(dir_.c_str());
  }

  // Serves one connection on a thread with `serve`.
  void serveOnce(std::function<void(int)> serve) {
    server_ = std::thread([this, serve] {
      UniqueFd connection(::accept(listener_.get(), nullptr, nullptr));
      if (connection) serve(connection.get());
    });
  }

  static std::string readToEnd(int fd) {
    std::string data;
    char buffer[4096];
    ssize_t n;
    while ((n = readRetrying(fd, buffer, sizeof buffer)) > 0) data.append(buffer, n);
    return data;
  }

  std::string dir_;
  std::string path_;
  UniqueFd listener_;
  std::thread server_;
};

TEST_F(ClientTest, SendsTheWholeRequestAndReadsTheResponseToClose) {
  const std::string request(1 << 20, 'r');  // larger than any socket buffer
  std::string received;
  serveOnce([&](int fd) {
    received = readToEnd(fd);  // ends only once the client shut down its side
    writeAll(fd, "{\"success\":");
    writeAll(fd, "true}");
  });
  HelperReply reply = sendHelperRequest(path_, request, std::chrono::seconds(30));
  server_.join();
  ASSERT_TRUE(reply.ok) << reply.error;
  EXPECT_EQ(reply.response, "{\"success\":true}");
  EXPECT_EQ(received, request);
}

TEST_F(ClientTest, ReturnsAnAnswerSentBeforeTheRequestWasRead) {
  serveOnce([](int fd) {
    sendAll(fd, "{\"success\":false,\"error\":\"unauthorized peer\"}");
    ::shutdown(fd, SHUT_WR);
  });
  HelperReply reply =
      sendHelperRequest(path_, std::string(4 << 20, 'x'), std::chrono::seconds(30));
  ASSERT_TRUE(reply.ok) << reply.error;
  EXPECT_EQ(reply.response, "{\"success\":false,\"error\":\"unauthorized peer\"}");
}

TEST_F(ClientTest, ReportsFailuresInsteadOfAResponse) {
  // A daemon that never answers: the client gives up at its time-out.
  UniqueFd held;
  serveOnce([&](int fd) { held.reset(::dup(fd)); });
  HelperReply silent = sendHelperRequest(path_, "{}", std::chrono::milliseconds(200));
  EXPECT_FALSE(silent.ok);
  EXPECT_NE(silent.error.find("no response"), std::string::npos) << silent.error;
  server_.join();
  held.reset();

  // A daemon that closes without a word.
  serveOnce([](int) {});
  HelperReply closed = sendHelperRequest(path_, "{}", std::chrono::seconds(30));
  EXPECT_FALSE(closed.ok);
  EXPECT_NE(closed.error.find("without a response"), std::string::npos) << closed.error;

  HelperReply missing = sendHelperRequest(dir_ + "/absent.sock", "{}", std::chrono::seconds(1));
  EXPECT_FALSE(missing.ok);
  EXPECT_NE(missing.error.find("connect"), std::string::npos) << missing.error;
}

}  // namespace
}  // namespace velto
