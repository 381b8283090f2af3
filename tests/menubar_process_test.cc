// The real veltovpn-menubar program against a bridge played by this test, on a
// machine without a display: connection, lines, end of stream, path limits and
// icon files, all read back from the agent's log file; and, as root, the agent
// among other local users (its directory, its bridge, its log).
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "common/io.h"
#include "common/unique_fd.h"

extern char** environ;

namespace velto {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Bounds every wait, so that a fault fails the test instead of hanging it.
constexpr auto kPatience = 20s;

const unsigned char kPng[] = {0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44,
                              0x52, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x08, 0x06, 0x00, 0x00, 0x00, 0x72,
                              0xb6, 0x0d, 0x24, 0x00, 0x00, 0x00, 0x10, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0x60,
                              0x60, 0x60, 0xf8, 0x0f, 0xc5, 0x10, 0x06, 0x00, 0x1d, 0xf4, 0x03, 0xfd, 0xc8, 0xe1, 0xf6,
                              0xa8, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

const std::string kStartPrefix = "veltovpn-menubar 2.0.0-alpha.1 starting (socket: ";
// Logged once after the start line when there is no tray to show: without a
// display, or in a build without one.
const std::string kNoTray = MENUBAR_BUILT_WITH_TRAY ? "no display \u2014 running without a tray icon"
                                                    : "built without a tray \u2014 running without a tray icon";
const std::string kEof = "bridge socket EOF \u2014 parent .app exited";

// The other local users of the tests that need root: a stranger (nobody) and the
// user whose agent runs. The latter differs between concurrent test runs, which
// share /tmp/veltovpn-<uid>.
constexpr uid_t kStranger = 65534;
const uid_t kUser = 60000 + static_cast<uid_t>(::getpid() % 5000);

void writeFile(const fs::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs `work` in a child process that has become `uid` (group `uid`, no other
// groups); true when it returned true.
bool runAs(uid_t uid, const std::function<bool()>& work) {
  pid_t child = ::fork();
  if (child == 0) {
    bool ok = ::setgroups(0, nullptr) == 0 && ::setresgid(uid, uid, uid) == 0 && ::setresuid(uid, uid, uid) == 0 &&
              work();
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/menubar-process-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TempDir() { fs::remove_all(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The bridge: a listening socket and, once accepted, the agent's connection.
class Bridge {
 public:
  explicit Bridge(std::string path) : path_(std::move(path)) {}
  ~Bridge() { ::unlink(path_.c_str()); }
  void listen() {
    listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address = this->address();
    ASSERT_EQ(::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << errnoText(errno);
    ASSERT_EQ(::listen(listener_.get(), 4), 0);
  }
  // Like listen(), but the socket is bound and set listening by `uid`, who then
  // owns the socket file (open to everyone) and is the peer a connecting agent sees.
  void listenAs(uid_t uid) {
    listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address = this->address();
    int fd = listener_.get();
    ASSERT_TRUE(runAs(uid, [&] {
      return ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
             ::chmod(address.sun_path, 0777) == 0 && ::listen(fd, 4) == 0;
    }));
  }
  // Stops listening and removes the socket file.
  void stop() {
    listener_.reset();
    ::unlink(path_.c_str());
  }
  // Whether an agent is waiting to be accepted.
  bool pending() {
    pollfd p{listener_.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  }
  // Waits for the accepted agent to close its end; true when it did.
  bool closedByPeer() {
    pollfd p{peer_.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kPatience).count())) != 1) return false;
    char byte;
    return ::read(peer_.get(), &byte, 1) == 0;
  }
  void accept() {
    pollfd p{listener_.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kPatience).count())), 1)
        << "the agent never connected";
    peer_.reset(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(peer_.valid());
  }
  void send(std::string_view bytes) { ASSERT_TRUE(sendAll(peer_.get(), bytes)); }
  void close() { peer_.reset(); }

 private:
  sockaddr_un address() const {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    EXPECT_LT(path_.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, path_.c_str(), std::min(path_.size() + 1, sizeof address.sun_path));
    return address;
  }

  std::string path_;
  UniqueFd listener_;
  UniqueFd peer_;
};

struct AgentOptions {
  bool closedStdout = false;
  // Runs the agent as this user (uid and gid), who then owns its directory.
  std::optional<uid_t> user;
  // TMPDIR names the agent's own directory; else the agent finds its own.
  bool tmpdirIsOwnDirectory = true;
  // Called with the agent's directory before the agent starts.
  std::function<void(const std::string&)> prepare;
};

// One run of the agent, with its own temporary directory (and so its own log).
class Agent {
 public:
  // `environment` is added to this process's environment, from which every
  // display, bus, directory and agent variable has been removed.
  explicit Agent(std::map<std::string, std::string> environment, AgentOptions options = {}) {
    std::vector<std::string> entries;
    for (char** e = environ; *e; ++e) {
      std::string entry = *e;
      std::string name = entry.substr(0, entry.find('='));
      if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "TMPDIR" || name == "XDG_RUNTIME_DIR" ||
          name == "DBUS_SESSION_BUS_ADDRESS" || name.rfind("VELTOVPN_", 0) == 0) {
        continue;
      }
      entries.push_back(entry);
    }
    if (options.tmpdirIsOwnDirectory) entries.push_back("TMPDIR=" + dir_.path());
    for (const auto& [name, value] : environment) entries.push_back(name + "=" + value);
    if (options.user) {
      EXPECT_EQ(::chown(dir_.path().c_str(), *options.user, *options.user), 0);
    }
    if (options.prepare) options.prepare(dir_.path());
    const bool closedStdout = options.closedStdout;
    std::vector<char*> envp;
    for (std::string& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeFds[2] = {-1, -1};
    if (closedStdout) {
      // Standard output whose reader is gone: every echo of a log line fails.
      EXPECT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
      posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    } else {
      posix_spawn_file_actions_addopen(&actions, 1, stdoutPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    std::string stderrPath = dir_.path() + "/stderr";
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> args;
    if (options.user) {
      const std::string id = std::to_string(*options.user);
      args = {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"};
    }
    args.push_back(MENUBAR_BINARY);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    EXPECT_EQ(::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    if (closedStdout) {
      ::close(pipeFds[0]);
      ::close(pipeFds[1]);
    }
  }

  ~Agent() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  const std::string& dir() const { return dir_.path(); }
  std::string stdoutPath() const { return dir_.path() + "/stdout"; }

  // The messages of the log so far (the one in the agent's own directory unless
  // `path` says otherwise); fails the test on a malformed line.
  std::vector<std::string> log(std::string path = "") const {
    static const std::regex kLine(R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] (.*))");
    std::ifstream in(path.empty() ? dir_.path() + "/veltovpn-menubar.log" : path);
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

  // Waits until `message` is in the log.
  bool waitForLog(const std::string& message, const std::string& path = "") const {
    return waitUntil([&] {
      auto lines = log(path);
      return std::find(lines.begin(), lines.end(), message) != lines.end();
    });
  }

  // Waits for the agent to end; its exit status, or -1 when it did not end.
  int waitForExit() {
    int status = 0;
    bool ended = waitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; });
    if (!ended) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  bool running() const { return ::waitpid(pid_, nullptr, WNOHANG) == 0; }

  std::string stderrText() const { return readFile(dir_.path() + "/stderr"); }

 private:
  template <typename Predicate>
  static bool waitUntil(Predicate done) {
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  TempDir dir_;
  pid_t pid_ = -1;
};

// The log after the start, notice and icon lines, which every run has first.
std::vector<std::string> afterStart(std::vector<std::string> lines) {
  auto it = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.rfind("icon load failed: ", 0) != 0 && l.rfind(kStartPrefix, 0) != 0 && l != kNoTray;
  });
  return std::vector<std::string>(it, lines.end());
}

// A bridge listening in a fresh directory and an agent started against it,
// once start() has returned: the agent is connected.
struct ConnectedRun {
  ConnectedRun() : path(sockets.path() + "/bridge.sock"), bridge(path) {}
  void start(std::map<std::string, std::string> environment = {}) {
    ASSERT_NO_FATAL_FAILURE(bridge.listen());
    environment["VELTOVPN_MENUBAR_SOCKET"] = path;
    agent.emplace(std::move(environment));
    ASSERT_NO_FATAL_FAILURE(bridge.accept());
  }
  // Closes the bridge; the agent must then end with status 0. Returns its
  // log after the start lines.
  std::vector<std::string> finish() {
    bridge.close();
    EXPECT_EQ(agent->waitForExit(), 0) << agent->stderrText();
    return afterStart(agent->log());
  }
  TempDir sockets;
  std::string path;
  Bridge bridge;
  std::optional<Agent> agent;  // last: ends before the bridge goes
};

TEST(MenubarProcess, WaitsForTheBridgeThenEndsWithIt) {
  TempDir sockets;
  std::string path = sockets.path() + "/bridge.sock";
  AgentOptions options;
  options.closedStdout = true;
  Agent agent({{"VELTOVPN_MENUBAR_SOCKET", path}}, options);
  ASSERT_TRUE(agent.waitForLog(kStartPrefix + path + ")"));
  Bridge bridge(path);
  ASSERT_NO_FATAL_FAILURE(bridge.listen());
  ASSERT_NO_FATAL_FAILURE(bridge.accept());
  ASSERT_TRUE(agent.waitForLog("connected to bridge at " + path)) << agent.stderrText();
  bridge.close();
  EXPECT_EQ(agent.waitForExit(), 0) << agent.stderrText();

  std::vector<std::string> log = agent.log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0], kStartPrefix + path + ")");
  EXPECT_EQ(log[1], kNoTray);
  // Failed attempts leave no trace; the run ends with the end of the
  // connection.
  EXPECT_EQ(afterStart(log), (std::vector<std::string>{"connected to bridge at " + path, kEof}));
}

TEST(MenubarProcess, EveryKindOfLine) {
  ConnectedRun run;
  ASSERT_NO_FATAL_FAILURE(run.start());
  std::string invalid(300, 'x');
  run.bridge.send(
      "{\"type\":\"status\",\"status\":\"up\\nforged\",\"relayId\":\"a\\u0007b\"}\n"
      "{\"type\":\"status\",\"status\":\"connected\","
      "\"killSwitch\":true,\"relayId\":\"se-1\"}\n"
      "{\"type\":\"hide-app\"}\n{\"type\":\"ping\"}\n\n{\"type\":"
      "\"reboot\"}\n" +
      invalid + "\n");
  run.bridge.send(
      "{\"type\":\"status\",\"status\":\"connecting\"}\r\n{"
      "\"type\":\"status\",\"relayId\":\"m\xC3");
  ASSERT_TRUE(run.agent->waitForLog("status: connecting ks=true rid=-"));
  run.bridge.send("\xBCnchen\"}\n{\"type\":\"status\"}");  // the last line never ends
  ASSERT_TRUE(run.agent->waitForLog("status: connecting ks=true rid=m\xC3\xBCnchen"));
  // hide-app is answered on the main thread, so its line may come anywhere
  // after the connection thread has read it.
  std::vector<std::string> log = run.finish();
  auto hideApp = std::find(log.begin(), log.end(), "hide-app: main app not found");
  ASSERT_NE(hideApp, log.end());
  EXPECT_GT(hideApp - log.begin(), 1);
  log.erase(hideApp);
  EXPECT_EQ(log, (std::vector<std::string>{
                     "connected to bridge at " + run.path,
                     // Text from the bridge cannot start a line of its own.
                     "status: up\\nforged ks=false rid=a\\u0007b",
                     "status: connected ks=true rid=se-1",
                     "unknown server-side type: reboot",
                     "invalid line (first 120B): " + std::string(120, 'x'),
                     "status: connecting ks=true rid=-",
                     "status: connecting ks=true rid=m\xC3\xBCnchen",
                     kEof,
                 }));
}

TEST(MenubarProcess, OverlongLineIsDroppedAndLoggedOnce) {
  ConnectedRun run;
  ASSERT_NO_FATAL_FAILURE(run.start());
  // Two mebibytes without a line feed, the end of that line, then a good line.
  std::string block(64 * 1024, 'y');
  for (int i = 0; i < 32; ++i) run.bridge.send(block);
  run.bridge.send("y\n{\"type\":\"status\",\"status\":\"connected\"}\n");
  ASSERT_TRUE(run.agent->waitForLog("status: connected ks=false rid=-"));
  EXPECT_EQ(run.finish(), (std::vector<std::string>{
                              "connected to bridge at " + run.path,
                              "invalid line (first 120B): " + std::string(120, 'y'),
                              "status: connected ks=false rid=-",
                              kEof,
                          }));
}

TEST(MenubarProcess, SocketPathLengthLimit) {
  TempDir sockets;
  const size_t limit = sizeof(sockaddr_un::sun_path) - 1;
  std::string longest = sockets.path() + "/";
  longest += std::string(limit - longest.size(), 's');
  ASSERT_EQ(longest.size(), limit);
  {
    Bridge bridge(longest);
    ASSERT_NO_FATAL_FAILURE(bridge.listen());
    Agent agent({{"VELTOVPN_MENUBAR_SOCKET", longest}});
    ASSERT_NO_FATAL_FAILURE(bridge.accept());
    ASSERT_TRUE(agent.waitForLog("connected to bridge at " + longest));
  }
  {
    std::string tooLong = longest + "s";
    Agent agent({{"VELTOVPN_MENUBAR_SOCKET", tooLong}});
    EXPECT_EQ(agent.waitForExit(), 0) << agent.stderrText();
    EXPECT_EQ(afterStart(agent.log()), (std::vector<std::string>{"FATAL: socket path too long: " + tooLong}));
  }
}

TEST(MenubarProcess, EmptySocketPathKeepsTrying) {
  Agent agent(std::map<std::string, std::string>{{"VELTOVPN_MENUBAR_SOCKET", ""}});
  ASSERT_TRUE(agent.waitForLog(kStartPrefix + ")"));
  // Long enough for a few attempts; none may end or crash the agent.
  std::this_thread::sleep_for(2500ms);
  EXPECT_TRUE(agent.running()) << agent.stderrText();
  EXPECT_TRUE(afterStart(agent.log()).empty());
}

TEST(MenubarProcess, IconFilesAndFallback) {
  const std::string png(reinterpret_cast<const char*>(kPng), sizeof kPng);
  const std::string exeIconDir = fs::path(MENUBAR_BINARY).parent_path().parent_path() / "Resources/menubar";
  struct Case {
    const char* name;
    std::map<std::string, std::string> files;  // written into the icon directory
    std::string iconDirSuffix;                 // added to the directory in the variable
    bool setVariable;
    std::vector<std::string> failedFiles;  // as logged: relative to the icon directory
  };
  const Case cases[] = {
      {"both files", {{"menubar-connected@2x.png", png}, {"menubar-disconnected@2x.png", png}}, "", true, {}},
      {"trailing separator, one file missing",
       {{"menubar-disconnected@2x.png", png}},
       "/",
       true,
       {"menubar-connected@2x.png"}},
      {"unreadable image",
       {{"menubar-connected@2x.png", png}, {"menubar-disconnected@2x.png", "not a png"}},
       "",
       true,
       {"menubar-disconnected@2x.png"}},
      {"empty variable: beside the executable",
       {},
       "",
       false,
       {"menubar-connected@2x.png", "menubar-disconnected@2x.png"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir icons;
    for (const auto& [name, bytes] : c.files) writeFile(fs::path(icons.path()) / name, bytes);
    std::string variable = c.setVariable ? icons.path() + c.iconDirSuffix : "";
    std::string shownDir = c.setVariable ? icons.path() : exeIconDir;
    ConnectedRun run;
    ASSERT_NO_FATAL_FAILURE(run.start({{"VELTOVPN_MENUBAR_ICON_DIR", variable}}));
    const std::string& path = run.path;
    run.bridge.close();
    EXPECT_EQ(run.agent->waitForExit(), 0) << run.agent->stderrText();
    std::vector<std::string> expected = {kStartPrefix + path + ")", kNoTray};
    for (const std::string& file : c.failedFiles) expected.push_back("icon load failed: " + shownDir + "/" + file);
    expected.push_back("connected to bridge at " + path);
    expected.push_back(kEof);
    EXPECT_EQ(run.agent->log(), expected);
  }
}

TEST(MenubarProcess, PlantedLogLinkIsNotFollowed) {
  TempDir elsewhere;
  const std::string precious = elsewhere.path() + "/precious";
  writeFile(precious, "mine\n");
  AgentOptions options;
  options.prepare = [&](const std::string& dir) { fs::create_symlink(precious, dir + "/veltovpn-menubar.log"); };
  Agent agent({{"VELTOVPN_MENUBAR_SOCKET", ""}}, options);
  // Standard output still hears the start line; the linked file gets nothing.
  ASSERT_TRUE(agent.waitForLog(kStartPrefix + ")", agent.stdoutPath())) << agent.stderrText();
  EXPECT_EQ(readFile(precious), "mine\n");
  EXPECT_TRUE(fs::is_symlink(agent.dir() + "/veltovpn-menubar.log"));
}

// The tests below run the agent as another user and play a stranger; only root can.
#define SKIP_UNLESS_ROOT()                                                     \
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run as other users"; \
  if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs /usr/bin/setpriv"

TEST(MenubarProcess, PrivateDirectoryIsNeverAnotherUsers) {
  SKIP_UNLESS_ROOT();
  const std::string fallback = "/tmp/veltovpn-" + std::to_string(kUser);
  fs::remove_all(fallback);
  AgentOptions options;
  options.user = kUser;
  options.tmpdirIsOwnDirectory = false;
  {
    // Neither XDG_RUNTIME_DIR nor TMPDIR: the agent makes its own directory.
    Agent agent({}, options);
    ASSERT_TRUE(agent.waitForLog(kStartPrefix + fallback + "/veltovpn-menubar.sock)", fallback + "/veltovpn-menubar.log"))
        << agent.stderrText();
    struct stat info;
    ASSERT_EQ(::lstat(fallback.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(info.st_uid, kUser);
    ASSERT_EQ(::lstat((fallback + "/veltovpn-menubar.log").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
  }
  fs::remove_all(fallback);

  // A stranger got there first, with a bridge at the agent's default path, and
  // owns the runtime directory named to the agent; /tmp is open to everyone.
  TempDir strangers;
  ASSERT_EQ(::chown(strangers.path().c_str(), kStranger, kStranger), 0);
  ASSERT_TRUE(runAs(kStranger, [&] { return ::mkdir(fallback.c_str(), 0777) == 0; }));
  Bridge trap(fallback + "/veltovpn-menubar.sock");
  ASSERT_NO_FATAL_FAILURE(trap.listenAs(kStranger));
  Agent agent({{"XDG_RUNTIME_DIR", strangers.path()}, {"TMPDIR", "/tmp"}}, options);
  EXPECT_EQ(agent.waitForExit(), 1) << agent.stderrText();
  EXPECT_EQ(agent.log(agent.stdoutPath()),
            (std::vector<std::string>{
                "private directory: skipped XDG_RUNTIME_DIR=" + strangers.path() + ": belongs to uid 65534, not to this user",
                "private directory: skipped TMPDIR=/tmp: belongs to uid 0, not to this user",
                "private directory: skipped " + fallback + ": belongs to uid 65534, not to this user",
                "FATAL: no private directory for the bridge socket",
            }));
  EXPECT_FALSE(trap.pending()) << "the agent called the stranger's bridge";
  std::vector<std::string> left;
  for (const std::string& dir : {fallback, strangers.path()}) {
    for (const auto& entry : fs::directory_iterator(dir)) left.push_back(entry.path().string());
  }
  EXPECT_EQ(left, std::vector<std::string>{fallback + "/veltovpn-menubar.sock"});
  trap.stop();
  fs::remove_all(fallback);
}

TEST(MenubarProcess, ForeignBridgeIsRefusedWhileTheRightOneConnects) {
  SKIP_UNLESS_ROOT();
  TempDir sockets;  // a shared place, where anyone may listen
  ASSERT_EQ(::chmod(sockets.path().c_str(), 01777), 0);
  const std::string path = sockets.path() + "/bridge.sock";
  auto foreign = std::make_unique<Bridge>(path);
  ASSERT_NO_FATAL_FAILURE(foreign->listenAs(kStranger));
  AgentOptions options;
  options.user = kUser;
  Agent agent({{"VELTOVPN_MENUBAR_SOCKET", path}}, options);
  // Every attempt is closed at once, and the agent keeps trying.
  for (int attempt = 0; attempt < 2; ++attempt) {
    ASSERT_NO_FATAL_FAILURE(foreign->accept());
    EXPECT_TRUE(foreign->closedByPeer()) << "attempt " << attempt;
  }
  foreign->stop();
  foreign.reset();
  Bridge right(path);
  ASSERT_NO_FATAL_FAILURE(right.listenAs(kUser));
  ASSERT_NO_FATAL_FAILURE(right.accept());
  ASSERT_TRUE(agent.waitForLog("connected to bridge at " + path)) << agent.stderrText();
  right.send("{\"type\":\"status\",\"status\":\"connected\"}\n");
  ASSERT_TRUE(agent.waitForLog("status: connected ks=false rid=-"));
  right.close();
  EXPECT_EQ(agent.waitForExit(), 0) << agent.stderrText();
  EXPECT_EQ(afterStart(agent.log()), (std::vector<std::string>{
                                         "bridge at " + path + " belongs to uid 65534, not to this user",
                                         "connected to bridge at " + path,
                                         "status: connected ks=false rid=-",
                                         kEof,
                                     }));
}

}  // namespace
}  // namespace velto
