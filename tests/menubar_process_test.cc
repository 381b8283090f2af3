// The real veltovpn-menubar against a bridge played by this test, without a
// display: bridge waits and ends, icon files, a planted log link; as root, the
// agent among other local users. What the lines say is the unit tests' business.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <thread>

#include "build_config.h"
#include "common/io.h"
#include "common/testing/process.h"
#include "common/testing/sockets.h"
#include "common/testing/temp_dir.h"
#include "common/unique_fd.h"
#include "common/unix_socket.h"

namespace velto {
namespace {

namespace fs = std::filesystem;
using test_support::Output;
using test_support::TempDir;
using test_support::User;

const std::string kStartPrefix = "veltovpn-menubar " VELTOVPN_VERSION_STRING " starting (socket: ";
// Logged after the start line when there is no tray to show.
const std::string kNoTray = MENUBAR_BUILT_WITH_TRAY
                                ? "no display \u2014 running without a tray icon"
                                : "built without a tray \u2014 running without a tray icon";
const std::string kEof = "bridge socket EOF \u2014 parent .app exited";
// What the agent's headless icon check reads of a PNG file: signature and IHDR.
const std::string kPngStart("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);

// A stranger (nobody) and the agent's user, who differs between concurrent
// runs, as they share /tmp/veltovpn-<uid>.
const User kStranger{65534, 65534, {}};
const uid_t kUid = 60000 + static_cast<uid_t>(::getpid() % 5000);
const User kUser{kUid, kUid, {}};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The bridge: a listening socket and, once accepted, the agent's connection.
class Bridge {
 public:
  explicit Bridge(std::string path) : path_(std::move(path)) {}
  ~Bridge() { stop(); }
  void listen() {
    Result<UniqueFd> listener = listenUnix(path_, 8);
    ASSERT_TRUE(listener.ok()) << listener.error().message();
    listener_ = std::move(*listener);
  }
  // Bound by `user`, who owns the socket file (mode 0777) and is the agent's peer.
  void listenAs(const User& user) {
    listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int fd = listener_.get();
    ASSERT_TRUE(test_support::runAs(user, [&] {
      return test_support::bindAndListen(fd, path_).ok() && ::chmod(path_.c_str(), 0777) == 0;
    }));
  }
  void stop() {
    listener_.reset();
    ::unlink(path_.c_str());
  }
  bool pending() {
    return test_support::readableWithin(listener_.get(), std::chrono::milliseconds(0));
  }
  void accept() {
    Result<UniqueFd> peer = test_support::acceptWithin(listener_.get());
    ASSERT_TRUE(peer.ok()) << "the agent never connected: " << peer.error().message();
    peer_ = std::move(*peer);
  }
  bool closedByPeer() {
    return test_support::readableWithin(peer_.get()) &&
           test_support::readToEnd(peer_.get()).empty();
  }
  void close() { peer_.reset(); }

 private:
  std::string path_;
  UniqueFd listener_;
  UniqueFd peer_;
};

struct AgentOptions {
  bool closedStdout = false;         // every echo of a log line fails
  std::optional<User> user{};        // runs the agent as this user, owner of its directory
  bool tmpdirIsOwnDirectory = true;  // else the agent finds its own directory
};

// One run of the agent, with its own temporary directory (and so its own log).
class Agent {
 public:
  // `environment` is added to this process's without display, bus, directory
  // and agent variables; `prepare` gets the agent's directory before the start.
  explicit Agent(std::map<std::string, std::string> environment, AgentOptions options = {},
                 const std::function<void(const std::string&)>& prepare = {}) {
    if (options.tmpdirIsOwnDirectory) environment.emplace("TMPDIR", dir_.path());
    if (options.user) {
      EXPECT_EQ(::chown(dir_.path().c_str(), options.user->uid, options.user->gid), 0);
    }
    if (prepare) prepare(dir_.path());
    test_support::ProcessOptions spawn;
    spawn.environment = test_support::environmentWith(
        environment, {"DISPLAY", "WAYLAND_DISPLAY", "TMPDIR", "XDG_RUNTIME_DIR",
                      "DBUS_SESSION_BUS_ADDRESS", "VELTOVPN_*"});
    spawn.out = options.closedStdout ? Output::readerGone() : Output::file(stdoutPath());
    spawn.err = Output::file(dir_.file("stderr"));
    std::vector<std::string> args;
    std::string program = MENUBAR_BINARY;
    if (options.user) {
      const std::string id = std::to_string(options.user->uid);
      // A copy in a folder the user can enter, run from /.
      program = dir_.file("veltovpn-menubar");
      std::error_code copyError;
      EXPECT_TRUE(fs::copy_file(MENUBAR_BINARY, program, copyError)) << copyError.message();
      args = {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"};
      args.insert(args.end(), {"/usr/bin/env", "-C", "/"});
    }
    args.push_back(program);
    process_.emplace(args, spawn);
    EXPECT_GT(process_->pid(), 0);
  }

  const std::string& dir() const { return dir_.path(); }
  std::string stdoutPath() const { return dir_.file("stdout"); }

  // The messages of the log (the agent's own unless `path`); a malformed line fails.
  std::vector<std::string> log(const std::string& path = "") const {
    static const std::regex kLine(R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] (.*))");
    std::ifstream in(path.empty() ? dir_.file("veltovpn-menubar.log") : path);
    std::vector<std::string> messages;
    std::string line;
    while (std::getline(in, line)) {
      std::smatch match;
      if (std::regex_match(line, match, kLine)) {
        messages.push_back(match[1]);
      } else {
        ADD_FAILURE() << "malformed log line: " << line;
      }
    }
    return messages;
  }

  bool waitForLog(const std::string& message, const std::string& path = "") const {
    return test_support::eventually([&] {
      auto lines = log(path);
      return std::find(lines.begin(), lines.end(), message) != lines.end();
    });
  }

  int waitForExit() { return process_->wait(); }
  bool running() { return process_->running(); }
  std::string stderrText() const { return readFile(dir_.file("stderr")); }

 private:
  TempDir dir_{"menubar-process"};
  std::optional<test_support::Process> process_;  // last: ends before the directory goes
};

// The log after the start, notice and icon lines, which every run has first.
std::vector<std::string> afterStart(std::vector<std::string> lines) {
  auto it = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.rfind("icon load failed: ", 0) != 0 && l.rfind(kStartPrefix, 0) != 0 && l != kNoTray;
  });
  return std::vector<std::string>(it, lines.end());
}

// The bridge comes late, at the default path in the agent's directory; the
// icon directory is named with a trailing separator and holds a good file and
// one that is no PNG; standard output has no reader.
TEST(MenubarProcess, WaitsForTheBridgeEndsWithItAndChecksItsIconFiles) {
  TempDir icons("menubar-icons");
  std::ofstream(icons.file("menubar-connected@2x.png"), std::ios::binary) << kPngStart << "rest";
  std::ofstream(icons.file("menubar-disconnected@2x.png"), std::ios::binary) << "not a png";
  Agent agent({{"VELTOVPN_MENUBAR_ICON_DIR", icons.path() + "/"}}, {.closedStdout = true});
  const std::string path = agent.dir() + "/veltovpn-menubar.sock";
  ASSERT_TRUE(agent.waitForLog(kStartPrefix + path + ")"));
  Bridge bridge(path);
  ASSERT_NO_FATAL_FAILURE(bridge.listen());
  ASSERT_NO_FATAL_FAILURE(bridge.accept());
  ASSERT_TRUE(agent.waitForLog("connected to bridge at " + path)) << agent.stderrText();
  bridge.close();
  EXPECT_EQ(agent.waitForExit(), 0) << agent.stderrText();
  // Failed attempts leave no trace; the run ends with the end of the connection.
  EXPECT_EQ(agent.log(), (std::vector<std::string>{
                             kStartPrefix + path + ")", kNoTray,
                             "icon load failed: " + icons.file("menubar-disconnected@2x.png"),
                             "connected to bridge at " + path, kEof}));
}

TEST(MenubarProcess, PlantedLogLinkIsNotFollowedAndAnEmptyPathKeepsTrying) {
  TempDir elsewhere("menubar-process");
  const std::string precious = elsewhere.file("precious");
  std::ofstream(precious) << "mine\n";
  Agent agent({{"VELTOVPN_MENUBAR_SOCKET", ""}}, {}, [&](const std::string& dir) {
    fs::create_symlink(precious, dir + "/veltovpn-menubar.log");
  });
  // Standard output still hears the start line; the linked file gets nothing.
  ASSERT_TRUE(agent.waitForLog(kStartPrefix + ")", agent.stdoutPath())) << agent.stderrText();
  // Long enough for a few attempts at the empty path; none may end the agent.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_TRUE(agent.running()) << agent.stderrText();
  EXPECT_EQ(afterStart(agent.log(agent.stdoutPath())), std::vector<std::string>{});
  EXPECT_EQ(readFile(precious), "mine\n");
  EXPECT_TRUE(fs::is_symlink(agent.dir() + "/veltovpn-menubar.log"));
}

// The tests below run the agent as another user and play a stranger; only root can.
#define SKIP_UNLESS_ROOT()                                                  \
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run as other users"; \
  if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs /usr/bin/setpriv"

TEST(MenubarProcess, PrivateDirectoryIsNeverAnotherUsers) {
  SKIP_UNLESS_ROOT();
  const std::string fallback = "/tmp/veltovpn-" + std::to_string(kUid);
  fs::remove_all(fallback);
  const AgentOptions options{.user = kUser, .tmpdirIsOwnDirectory = false};
  {
    // Neither XDG_RUNTIME_DIR nor TMPDIR: the agent makes its own directory.
    Agent agent({}, options);
    ASSERT_TRUE(agent.waitForLog(kStartPrefix + fallback + "/veltovpn-menubar.sock)",
                                 fallback + "/veltovpn-menubar.log"))
        << agent.stderrText();
    struct stat info;
    ASSERT_EQ(::lstat(fallback.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(info.st_uid, kUid);
    ASSERT_EQ(::lstat((fallback + "/veltovpn-menubar.log").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
  }
  fs::remove_all(fallback);

  // A stranger owns the runtime and cache directories and a bridge at the
  // default path; /tmp is open to everyone.
  TempDir strangers("menubar-process");
  ASSERT_EQ(::chown(strangers.path().c_str(), kStranger.uid, kStranger.gid), 0);
  ASSERT_EQ(::chmod(strangers.path().c_str(), 0755), 0);
  const std::string strangersCache = strangers.file("veltovpn");
  ASSERT_TRUE(test_support::runAs(kStranger, [&] {
    return ::mkdir(fallback.c_str(), 0777) == 0 && ::mkdir(strangersCache.c_str(), 0777) == 0;
  }));
  Bridge trap(fallback + "/veltovpn-menubar.sock");
  ASSERT_NO_FATAL_FAILURE(trap.listenAs(kStranger));
  Agent agent({{"XDG_RUNTIME_DIR", strangers.path()},
               {"TMPDIR", "/tmp"},
               {"XDG_CACHE_HOME", strangers.path()}},
              options);
  EXPECT_EQ(agent.waitForExit(), 1) << agent.stderrText();
  EXPECT_EQ(
      agent.log(agent.stdoutPath()),
      (std::vector<std::string>{
          "private directory: skipped XDG_RUNTIME_DIR=" + strangers.path() +
              ": belongs to uid 65534, not to this user",
          "private directory: skipped TMPDIR=/tmp: belongs to uid 0, not to this user",
          "private directory: skipped " + fallback + ": belongs to uid 65534, not to this user",
          "private directory: skipped " + strangersCache +
              ": belongs to uid 65534, not to this user",
          "FATAL: no private directory for the bridge socket",
      }));
  EXPECT_FALSE(trap.pending()) << "the agent called the stranger's bridge";
  std::vector<std::string> left;
  for (const std::string& dir : {fallback, strangers.path(), strangersCache}) {
    for (const auto& entry : fs::directory_iterator(dir)) left.push_back(entry.path().string());
  }
  EXPECT_EQ(left, (std::vector<std::string>{fallback + "/veltovpn-menubar.sock", strangersCache}));
  trap.stop();
  fs::remove_all(fallback);
}

TEST(MenubarProcess, ForeignBridgeIsRefusedWhileTheRightOneConnects) {
  SKIP_UNLESS_ROOT();
  TempDir sockets("menubar-process");  // a shared place, where anyone may listen
  ASSERT_EQ(::chmod(sockets.path().c_str(), 01777), 0);
  const std::string path = sockets.file("bridge.sock");
  auto foreign = std::make_unique<Bridge>(path);
  ASSERT_NO_FATAL_FAILURE(foreign->listenAs(kStranger));
  Agent agent({{"VELTOVPN_MENUBAR_SOCKET", path}}, {.user = kUser});
  // Every attempt is closed at once, and the agent keeps trying.
  for (int attempt = 0; attempt < 2; ++attempt) {
    ASSERT_NO_FATAL_FAILURE(foreign->accept());
    EXPECT_TRUE(foreign->closedByPeer()) << "attempt " << attempt;
  }
  foreign.reset();
  Bridge right(path);
  ASSERT_NO_FATAL_FAILURE(right.listenAs(kUser));
  ASSERT_NO_FATAL_FAILURE(right.accept());
  ASSERT_TRUE(agent.waitForLog("connected to bridge at " + path)) << agent.stderrText();
  right.close();
  EXPECT_EQ(agent.waitForExit(), 0) << agent.stderrText();
  EXPECT_EQ(afterStart(agent.log()),
            (std::vector<std::string>{
                "bridge at " + path + " belongs to uid 65534, not to this user",
                "connected to bridge at " + path,
                kEof,
            }));
}

}  // namespace
}  // namespace velto
