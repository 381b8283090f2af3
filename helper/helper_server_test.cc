// The daemon's server functions on a temporary socket, served from a thread: the
// framing of requests, their bounds and time-out, and the refusal log. What a
// script is handed and a refused peer's answer are the process test's, on the
// real daemon.
#include "helper/helper_server.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "build_config.h"

#include "common/io.h"
#include "common/mutex.h"
#include "common/testing/process.h"
#include "common/testing/sockets.h"
#include "common/testing/temp_dir.h"
#include "common/unix_socket.h"
#include "helper/script_runner.h"

namespace velto {
namespace {

using ::testing::Contains;

const std::string kPong = std::string(R"({"message":"pong","success":true,"version":")") +
                          VELTOVPN_VERSION_STRING + "\"}";

// Sends `chunks` one write each (as far as the server takes them), ends the
// sending side and reads the response. `sentAll`, when given, tells whether the
// server took every byte.
std::string roundTrip(const std::string& path, const std::vector<std::string>& chunks,
                      bool* sentAll = nullptr) {
  Result<UniqueFd> fd = connectUnix(path);
  if (!fd) return "connect failed: " + fd.error().message();
  bool sent = true;
  for (const std::string& chunk : chunks) {
    // A refused client is answered before its request is read, and may find the
    // connection closed for sending; its answer is still there to read.
    if (!sendAll(fd->get(), chunk).ok()) {
      sent = false;
      break;
    }
  }
  if (sentAll != nullptr) *sentAll = sent;
  shutdown(fd->get(), SHUT_WR);
  return test_support::readToEnd(fd->get());
}

// `text` cut into writes of `size` bytes.
std::vector<std::string> inPieces(const std::string& text, size_t size) {
  std::vector<std::string> pieces;
  for (size_t at = 0; at < text.size(); at += size) pieces.push_back(text.substr(at, size));
  return pieces;
}

// Admits or refuses every peer, as uid 1234.
struct FakeAuthorizer : PeerAuthorizer {
  explicit FakeAuthorizer(bool allow) : allow(allow) {}
  PeerDecision check(int) override { return {allow, 1234, 42, {}}; }
  bool allow;
};

// The real server functions on a temporary socket, served from a thread.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Result<UniqueFd> listening = setUpListeningSocket(path_);
    ASSERT_TRUE(listening.ok()) << listening.error().message();
    listener_ = std::move(*listening);
  }
  // A test that failed half-way may leave the server waiting for a client: shutting
  // the listener down makes its remaining accepts fail at once.
  void TearDown() override {
    if (server_.joinable()) shutdown(listener_.get(), SHUT_RDWR);
    join();
  }

  LogFunction logger() {
    return [this](std::string_view line) {
      MutexLock lock(mutex_);
      lines_.emplace_back(line);
    };
  }
  std::vector<std::string> lines() {
    MutexLock lock(mutex_);
    return lines_;
  }

  // Serves `count` connections on a thread with these services.
  void serve(int count, PeerAuthorizer& authorizer, RequestLimits limits = {}) {
    HelperServices services{authorizer, [](const std::string& s) { return runScript(s); }, logger(),
                            limits};
    server_ = std::thread([this, count, services]() mutable {
      for (int i = 0; i < count; ++i) serveNextConnection(listener_.get(), services);
    });
  }
  void join() {
    if (server_.joinable()) server_.join();
  }

  test_support::TempDir dir_{"helper-server-test"};
  const std::string path_ = dir_.file("helper.sock");
  UniqueFd listener_;
  std::thread server_;
  Mutex mutex_;
  std::vector<std::string> lines_ VELTO_GUARDED_BY(mutex_);
  FakeAuthorizer allowAll_{true};
};

// Set up again over the file the first socket left behind. The set-up narrows
// the process-wide file-creation mask only while it binds.
TEST_F(ServerTest, SetUpRestoresTheMaskAndOpensTheSocketToAll) {
  listener_.reset();
  const mode_t maskBefore = ::umask(027);
  Result<UniqueFd> again = setUpListeningSocket(path_);
  EXPECT_EQ(::umask(maskBefore), 027u);
  EXPECT_TRUE(again.ok());
  struct stat info;
  ASSERT_EQ(stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0666u);

  // A second daemon leaves the live socket alone.
  Result<UniqueFd> second = setUpListeningSocket(path_);
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().kind, ErrorKind::kTaken);
  EXPECT_TRUE(unixSocketAnswers(path_));

  Result<UniqueFd> failed = setUpListeningSocket("/nonexistent-dir/helper.sock");
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().code, ENOENT);
}

struct Refusal {
  int atMs;
  long long uid;     // kFlush: not a refusal, the server flushing while it waits
  std::string line;  // empty: counted, not logged
};
constexpr long long kFlush = -2;

// The refusal log's lines against a timeline of refused peers (pid = the time).
TEST(RefusalLogTest, LogsAtMostOneLineASecondAndCountsTheRestPerUid) {
  std::vector<Refusal> timeline = {
      {0, 7, "refused peer uid=7 pid=0"},
      {1, 7, ""},
      {999, 7, ""},
      {1000, 7, "refused peer uid=7 pid=1000 (2 more refused since the last line)"},
      {1500, 7, ""},
      {5000, 7, "refused peer uid=7 pid=5000 (1 more refused since the last line)"},
      {6000, 7, "refused peer uid=7 pid=6000"},
      // One user's flood does not hide another's attempt.
      {6001, 7, ""},
      {6002, 1001, ""},
      {6003, 7, ""},
      {7000, 7,
       "refused peer uid=7 pid=7000 (3 more refused since the last line: 2 by uid=7, 1 by "
       "uid=1001)"},
      {7001, 1001, ""},
      {8000, 7, "refused peer uid=7 pid=8000 (1 more refused since the last line: 1 by uid=1001)"},
      // Held-back counts that no refusal follows are flushed once their second is over.
      {8001, 7, ""},
      {8500, kFlush, ""},
      {8999, kFlush, ""},
      {9000, kFlush, "1 more refused since the last line: 1 by uid=7"},
      {9100, kFlush, ""},
  };
  // So many uids in one second are counted, past a bound, together.
  timeline.push_back({10000, 7, "refused peer uid=7 pid=10000"});
  const long long manyUids = RefusalLog::kMaxUids + 2;
  std::string manyLine = "refused peer uid=7 pid=11000 (" + std::to_string(manyUids) +
                         " more refused since the last line";
  for (long long uid = 2000; uid < 2000 + manyUids; ++uid) {
    timeline.push_back({10001, uid, ""});
    if (uid < 2000 + static_cast<long long>(RefusalLog::kMaxUids)) {
      manyLine += (uid == 2000 ? ": 1 by uid=" : ", 1 by uid=") + std::to_string(uid);
    }
  }
  timeline.push_back({11000, 7, manyLine + ", 2 by other uids)"});

  RefusalLog refusals;
  const auto start = std::chrono::steady_clock::now();
  for (const Refusal& r : timeline) {
    std::string logged;
    const LogFunction log = [&](std::string_view l) { logged.append(l).append("\n"); };
    const auto at = start + std::chrono::milliseconds(r.atMs);
    if (r.uid == kFlush) {
      refusals.flush(at, log);
    } else {
      refusals.refused({false, r.uid, r.atMs, {}}, at, log);
    }
    EXPECT_EQ(logged, r.line.empty() ? "" : r.line + "\n") << "at " << r.atMs << " ms";
  }
}

// The request is read up to the client's end, across writes that split it
// anywhere, even inside a character, and the answer is the exact bytes (compact
// JSON, no trailing newline). A complete request whose sender never ends its side
// is answered at the time-out (a silent client is the process test's).
TEST_F(ServerTest, ReadsTheWholeRequestUpToTheClientsEndOrTheTimeOut) {
  RequestLimits limits;
  limits.timeout = std::chrono::milliseconds(300);
  serve(3, allowAll_, limits);
  EXPECT_EQ(roundTrip(path_, {"{\"act", "ion\":", "\"pi", "ng\"}"}), kPong);
  EXPECT_EQ(roundTrip(path_, {"{\"action\":\"p\xC3", "\xAFng\"}"}),
            "{\"error\":\"unknown action: p\xC3\xAFng\",\"success\":false}");
  Result<UniqueFd> open = connectUnix(path_);
  ASSERT_TRUE(open.ok()) << open.error().message();
  ASSERT_TRUE(sendAll(open->get(), R"({"action":"ping"})").ok());
  EXPECT_EQ(test_support::readToEnd(open->get()), kPong);
  join();
}

// A ping padded to exactly `size` bytes.
std::string paddedPing(size_t size) {
  const std::string head = R"({"action":"ping","pad":")";
  return head + std::string(size - head.size() - 2, 'x') + "\"}";
}

// The daemon's own bound, across the many reads a request of that size takes.
TEST_F(ServerTest, RequestOfTheLargestSizeIsServedOneByteMoreIsTooLarge) {
  const std::string tooLarge = R"({"error":"request too large","success":false})";
  serve(2, allowAll_);
  bool sentAll = false;
  EXPECT_EQ(roundTrip(path_, inPieces(paddedPing(kMaxRequestBytes), 65536), &sentAll), kPong);
  EXPECT_TRUE(sentAll);
  EXPECT_EQ(roundTrip(path_, inPieces(paddedPing(kMaxRequestBytes + 1), 65536), &sentAll),
            tooLarge);
  EXPECT_TRUE(sentAll);
  join();
  EXPECT_THAT(lines(), Contains("request too large: more than 16777216 bytes"));

  // A script that goes on far past a bound, in small writes long after the server
  // knows its answer, is read to its end (so the client can send all of it and
  // then read the answer); it does not run, or the answer would be its result.
  RequestLimits small;
  small.maxBytes = 1000;
  serve(1, allowAll_, small);
  const nlohmann::json farPast = {{"action", "run-script"}, {"script", std::string(4 << 20, '#')}};
  EXPECT_EQ(roundTrip(path_, inPieces(farPast.dump(), 4096), &sentAll), tooLarge);
  EXPECT_TRUE(sentAll) << "the server stopped reading";
  join();
}

// A client that takes its request's answer only in part (or not at all) holds
// the server up for one stall limit, not for ever: the next client is served.
TEST_F(ServerTest, ClientThatStopsReadingItsAnswerDoesNotHoldUpTheNext) {
  RequestLimits limits;
  limits.timeout = std::chrono::milliseconds(200);
  serve(2, allowAll_, limits);
  Result<UniqueFd> stalled = connectUnix(path_);
  ASSERT_TRUE(stalled.ok()) << stalled.error().message();
  // Far more than the socket buffers hold.
  const nlohmann::json bulky = {{"action", "run-script"}, {"script", "yes | head -c 8000000"}};
  ASSERT_TRUE(sendAll(stalled->get(), bulky.dump()).ok());
  shutdown(stalled->get(), SHUT_WR);
  EXPECT_EQ(roundTrip(path_, {R"({"action":"ping"})"}), kPong);
  join();
}

TEST_F(ServerTest, RefusalsHeldBackAreWrittenWhileNobodyConnects) {
  FakeAuthorizer refuseAll(false);
  serve(3, refuseAll);
  roundTrip(path_, {"{}"});
  roundTrip(path_, {"{}"});
  const std::string heldBack = "1 more refused since the last line: 1 by uid=1234";
  test_support::eventually([&] { return ::testing::Value(lines(), Contains(heldBack)); });
  EXPECT_THAT(lines(), Contains(heldBack));
  roundTrip(path_, {"{}"});
  join();
}

}  // namespace
}  // namespace velto
