// The controller against recording fakes of the platform, and its bridge
// connection against real Unix-domain sockets.
#include "menubar/menubar_controller.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <tuple>

#include <nlohmann/json.hpp>

#include "common/io.h"
#include "common/testing/sockets.h"
#include "common/testing/temp_dir.h"
#include "common/unique_fd.h"
#include "common/unix_socket.h"
#include "menubar/fake_platform.h"
#include "menubar/paths.h"

namespace velto {
namespace {

constexpr char kIconDir[] = "/Applications/veltoVpn.app/Contents/Resources/menubar";
const std::string kConnectedFile = std::string(kIconDir) + "/menubar-connected@2x.png";
const std::string kDisconnectedFile = std::string(kIconDir) + "/menubar-disconnected@2x.png";

// Everything a controller needs, with both icon files present by default.
struct Harness {
  explicit Harness(std::string socketPath = "/nonexistent/bridge.sock")
      : socketPath_(std::move(socketPath)) {
    images.files = {kConnectedFile, kDisconnectedFile};
  }
  void make() {
    controller = std::make_unique<MenubarController>(MenubarController::Services{
        app, item, images, apps, process, log.function(), socketPath_, "com.veltovpn.app", pause});
  }
  // Feeds bridge lines as the connection thread would, then runs what they queued.
  void lines(std::initializer_list<std::string> input) {
    for (const std::string& line : input) controller->handleLine(line);
    app.runPending();
  }

  std::string socketPath_;
  FakeApplication app;
  FakeStatusItem item;
  FakeImages images;
  FakeRunningApplications apps;
  FakeProcessInfo process;
  RecordingLog log;
  FakeRetryPause pause;
  std::unique_ptr<MenubarController> controller;  // last: goes first
};

TEST(MenubarController, MenuLayout) {
  Harness h;
  h.make();
  std::vector<std::string> titles;
  for (const auto& i : h.item.items) titles.push_back(i.title);
  EXPECT_EQ(titles,
            (std::vector<std::string>{"Not connected", "-", "Show window", "-", "Connect",
                                      "Disconnect", "Kill-switch: OFF", "-", "Quit veltoVpn"}));
  EXPECT_EQ(h.item.itemsWhenAttached, 9);
  EXPECT_EQ(h.item.find("Quit veltoVpn").key, "q");
}

TEST(MenubarController, StatusReportsDriveTitlesVisibilityIconAndLog) {
  struct Case {
    const char* name;
    std::string lines;  // the fields of status lines, one line each
    std::string statusTitle;
    // The one of Connect and Disconnect the menu shows, if any; Disconnect goes
    // with the connected icon.
    std::string offers;
    bool killSwitch;
    std::string lastLog;  // after "status: "
  };
  const Case cases[] = {
      {"first picture", "", "Not connected", "Connect", false, ""},
      {"empty relay", R"("status":"connected","relayId":"")", "Connected \u00B7 ", "Disconnect",
       false, "connected ks=false rid="},
      {"connecting hides both", R"("status":"connecting","killSwitch":true)", "Connecting\u2026",
       "", true, "connecting ks=true rid=-"},
      {"only connected, in this case, shows a relay", R"("status":"Connected","relayId":"r9")",
       "Not connected", "Connect", false, "Connected ks=false rid=r9"},
      {"absent or mistyped fields keep their value, but the relay is cleared",
       "\"status\":\"connected\",\"killSwitch\":true,\"relayId\":\"r\"\n\"status\":7", "Connected",
       "Disconnect", true, "connected ks=true rid=-"},
      {"error offers Connect again", R"("status":"connected"
"status":"error","killSwitch":true,"relayId":"r")",
       "Error", "Connect", true, "error ks=true rid=r"},
      {"the kill switch as the numbers 1 and 0",
       "\"status\":\"idle\",\"killSwitch\":1\n"
       "\"killSwitch\":1.0\n\"killSwitch\":0",
       "Not connected", "Connect", false, "idle ks=false rid=-"},
      {"bridge text cannot start a log line of its own",
       R"("status":"up\nforged","relayId":"a\u0007b")", "Not connected", "Connect", false,
       "up\\nforged ks=false rid=a\\u0007b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    h.make();
    std::istringstream lines(c.lines);
    for (std::string fields; std::getline(lines, fields);) {
      h.lines({R"({"type":"status",)" + fields + "}"});
    }
    EXPECT_EQ(h.item.statusRow().title, c.statusTitle);
    EXPECT_EQ(h.item.description, "veltoVpn: " + c.statusTitle);
    EXPECT_EQ(!h.item.find("Connect").hidden, c.offers == "Connect");
    EXPECT_EQ(!h.item.find("Disconnect").hidden, c.offers == "Disconnect");
    EXPECT_EQ(h.item.startingWith("Kill-switch: ").title,
              c.killSwitch ? "Kill-switch: ON" : "Kill-switch: OFF");
    EXPECT_EQ(imageName(h.item.image),
              (c.offers == "Disconnect" ? kConnectedFile : kDisconnectedFile) + "@18");
    const std::vector<std::string> log = h.log.lines();
    EXPECT_EQ(log.empty() ? "" : log.back(), c.lastLog.empty() ? "" : "status: " + c.lastLog);
  }
}

TEST(MenubarController, OtherFramesAndTheirLogLines) {
  Harness h;
  h.make();
  std::string accented;  // 130 characters of 3 bytes: cut by characters, not bytes
  for (int i = 0; i < 130; ++i) accented += "e\xCC\x81";
  h.lines({R"({"type":"ping"})", R"({"type":"re\nboot"})", accented, R"({"type":"hide-app"})"});
  EXPECT_EQ(h.log.lines(), (std::vector<std::string>{
                               "unknown server-side type: re\\nboot",
                               "invalid line (first 120B): " + accented.substr(0, 360),
                               "hide-app: main app not found",
                           }));

  h.apps.apps = {{4242, ActivationPolicy::kRegular}};
  h.lines({R"({"type":"hide-app"})"});
  EXPECT_EQ(h.log.lines().back(), "hid main app (close-to-tray)");
  EXPECT_EQ(h.apps.calls.back(), "hide 4242");
}

TEST(MenubarController, MainAppPrefersRegularPolicyAndNeverThisProcess) {
  const pid_t self = ::getpid();
  constexpr auto kRegular = ActivationPolicy::kRegular;
  constexpr auto kAccessory = ActivationPolicy::kAccessory;
  struct Case {
    std::vector<RunningApplication> apps;
    std::optional<pid_t> expected;
  };
  const Case cases[] = {
      {{}, std::nullopt},
      {{{self, kRegular}}, std::nullopt},
      {{{self, kRegular}, {101, kAccessory}, {102, kRegular}}, 102},  // regular first
      {{{103, kRegular}, {102, kRegular}}, 103},                      // in platform order
      {{{self, kRegular}, {101, ActivationPolicy::kProhibited}, {104, kAccessory}}, 101},
  };
  for (const Case& c : cases) {
    Harness h;
    h.make();
    h.apps.apps = c.apps;
    std::optional<RunningApplication> found = h.controller->mainApp();
    EXPECT_EQ(found ? std::optional<pid_t>(found->pid) : std::nullopt, c.expected);
  }
}

TEST(MenubarController, IconsFromFilesOrOneFallbackForBoth) {
  const std::string symbolic[] = {"veltovpn-connected-symbolic", "veltovpn-disconnected-symbolic"};
  const std::string in = std::string(" in ") + kIconDir, failed = "icon load failed: ";
  const std::set<std::string> bothFiles = {kConnectedFile, kDisconnectedFile};
  // What the controller logs as it loads, its connected icon and its disconnected one.
  using Loaded = std::tuple<std::vector<std::string>, std::string, std::string>;
  auto load = [](std::set<std::string> symbols, std::set<std::string> files, bool hasSymbol) {
    Harness h;
    h.images.symbols = std::move(symbols);
    h.images.files = std::move(files);
    h.images.hasSymbol = hasSymbol;
    h.make();
    Loaded loaded{h.log.lines(), imageName(h.controller->connectedIcon()),
                  imageName(h.controller->disconnectedIcon())};
    h.lines({R"({"type":"status","status":"connected"})"});
    EXPECT_EQ(imageName(h.item.image), std::get<1>(loaded));
    return loaded;
  };
  // Symbolic icons before the files, but only as a pair.
  EXPECT_EQ(load({symbolic[0], symbolic[1]}, bothFiles, true),
            (Loaded{{}, symbolic[0] + in, symbolic[1] + in}));
  EXPECT_EQ(load({symbolic[0]}, bothFiles, true),
            (Loaded{{}, kConnectedFile + "@18", kDisconnectedFile + "@18"}));
  // A missing file takes both states to one fallback.
  EXPECT_EQ(load({}, {kDisconnectedFile}, true),
            (Loaded{{failed + kConnectedFile}, "symbol", "symbol"}));
  EXPECT_EQ(
      load({}, {}, false),
      (Loaded{{failed + kConnectedFile, failed + kDisconnectedFile}, "letter V", "letter V"}));
}

TEST(MenubarController, MissingTrayHostIsLoggedOnce) {
  Harness h;
  h.make();
  ASSERT_TRUE(h.item.hostChanged);
  for (bool present : {true, false, true, false}) h.item.hostChanged(present);
  EXPECT_EQ(h.log.lines(),
            (std::vector<std::string>{
                "no tray host on this desktop: the menu-bar icon is not shown until one starts"}));
  // The platform may report after the controller has gone.
  auto hostChanged = h.item.hostChanged;
  h.controller.reset();
  hostChanged(false);
}

// ---------------------------------------------------------------- real sockets

// A bridge: a listening Unix-domain socket in a fresh directory.
class Bridge {
 public:
  Bridge() = default;
  // At a path of exactly `length` bytes.
  explicit Bridge(size_t length) { path_ = paddedPath(dir_, length); }
  static std::string paddedPath(const test_support::TempDir& dir, size_t length) {
    const std::string prefix = dir.file("b");
    return prefix + std::string(length - prefix.size(), 'b');
  }
  const std::string& path() const { return path_; }
  void listen() {
    Result<UniqueFd> listener = listenUnix(path_, 8);
    ASSERT_TRUE(listener.ok()) << listener.error().message();
    listener_ = std::move(*listener);
  }
  void accept() {
    Result<UniqueFd> peer = test_support::acceptWithin(listener_.get());
    ASSERT_TRUE(peer.ok()) << peer.error().message();
    peer_ = std::move(*peer);
  }
  void send(std::string_view bytes) { ASSERT_TRUE(sendAll(peer_.get(), bytes).ok()); }
  // One line from the agent, without its line feed.
  std::string readLine() { return test_support::readLine(peer_.get()); }
  void shutdownReading() { ASSERT_EQ(::shutdown(peer_.get(), SHUT_RD), 0); }
  void close() { peer_.reset(); }

 private:
  test_support::TempDir dir_{"menubar-test"};
  std::string path_ = dir_.file("bridge.sock");
  UniqueFd listener_;
  UniqueFd peer_;
};

// That the agent ends with the bridge, the process test checks on the real agent.
TEST(MenubarConnection, CommandsStatusLinesAGoneReaderAndAQuietEnd) {
  Bridge bridge;
  Harness h(bridge.path());
  h.apps.apps = {{4242, ActivationPolicy::kRegular}};
  ASSERT_NO_FATAL_FAILURE(bridge.listen());
  h.make();
  h.controller->connectAndPumpSocket();
  ASSERT_NO_FATAL_FAILURE(bridge.accept());
  std::vector<std::string> expected = {"connected to bridge at " + bridge.path()};
  ASSERT_TRUE(h.log.waitFor(expected[0]));

  const std::pair<const char*, std::string> commands[] = {{"Show window", "show-window"},
                                                          {"Connect", "connect"},
                                                          {"Disconnect", "disconnect"},
                                                          {"Kill-switch: OFF", "toggle-killswitch"},
                                                          {"Quit veltoVpn", "quit"}};
  for (const auto& [title, action] : commands) {
    h.item.click(title);
    EXPECT_EQ(nlohmann::json::parse(bridge.readLine()),
              (nlohmann::json{{"type", "command"}, {"action", action}}));
    expected.push_back("sent: " + action);
    ASSERT_TRUE(h.log.waitFor(expected.back()));
  }
  // Show window and Quit bring the main application forward; no command changes the menu.
  EXPECT_EQ(h.apps.calls,
            (std::vector<std::string>{"list com.veltovpn.app", "unhide 4242", "activate 4242",
                                      "list com.veltovpn.app", "unhide 4242", "activate 4242"}));
  EXPECT_EQ(h.item.startingWith("Kill-switch: ").title, "Kill-switch: OFF");
  EXPECT_EQ(h.app.runPending(), 0);

  // A CR LF line, a character split over two writes, and two lines in one write.
  bridge.send(
      "{\"type\":\"status\",\"status\":\"connecting\"}\r\n"
      "{\"type\":\"status\",\"status\":\"connected\",\"relayId\":\"z\xC3");
  bridge.send(
      "\xBCrich\"}\n{\"type\":\"ping\"}\n"
      "{\"type\":\"status\",\"status\":\"connected\",\"killSwitch\":true,"
      "\"relayId\":\"z\xC3\xBCrich\"}\n");
  ASSERT_TRUE(h.log.waitFor("status: connected ks=true rid=z\xC3\xBCrich"));
  EXPECT_EQ(h.app.runPending(), 3);  // the menu changes on the main thread only
  EXPECT_EQ(h.item.statusRow().title, "Connected \u00B7 z\xC3\xBCrich");
  EXPECT_EQ(h.item.startingWith("Kill-switch: ").title, "Kill-switch: ON");

  // With the bridge's reading side shut the agent's reader sees no end of
  // stream, while its writes fail with EPIPE instead of raising SIGPIPE.
  bridge.shutdownReading();
  h.item.click("Connect");
  ASSERT_TRUE(h.log.waitFor("sendCommand(connect) failed \u2014 Broken pipe"));
  bridge.send("{\"type\":\"status\",\"status\":\"idle\"}\n");
  ASSERT_TRUE(h.log.waitFor("status: idle ks=true rid=-"));

  // The blocked read is ended without the end-of-stream line, and a refresh
  // still queued finds no controller.
  h.controller.reset();
  EXPECT_EQ(h.app.runPending(), 1);
  EXPECT_EQ(h.app.terminations, 0);
  expected.insert(
      expected.end(),
      {"status: connecting ks=false rid=-", "status: connected ks=false rid=z\xC3\xBCrich",
       "status: connected ks=true rid=z\xC3\xBCrich",
       "sendCommand(connect) failed \u2014 Broken pipe", "status: idle ks=true rid=-"});
  EXPECT_EQ(h.log.lines(), expected);
}

TEST(MenubarConnection, RetriesEverySecondForABridgeAtTheLongestPathThenDropsCommandsOnceItGoes) {
  Bridge bridge(maxSocketPathLength());
  Harness h(bridge.path());
  // Nothing listens for the first three attempts; the bridge starts during the
  // third wait.
  h.pause.onWait = [&](size_t number) {
    if (number == 3) bridge.listen();
  };
  h.make();
  h.controller->connectAndPumpSocket();
  ASSERT_TRUE(h.log.waitFor("connected to bridge at " + bridge.path()));
  ASSERT_NO_FATAL_FAILURE(bridge.accept());
  using std::chrono::seconds;
  EXPECT_EQ(h.pause.waits(), (std::vector<seconds>{seconds(1), seconds(1), seconds(1)}));
  bridge.close();
  ASSERT_TRUE(h.log.waitFor("bridge socket EOF \u2014 parent .app exited"));
  h.item.click("Disconnect");
  ASSERT_TRUE(h.log.waitFor("sendCommand(disconnect) dropped \u2014 bridge not connected"));
}

TEST(MenubarConnection, PathOneByteLongerEndsTheAgent) {
  test_support::TempDir dir("menubar-test");
  const std::string tooLong = Bridge::paddedPath(dir, maxSocketPathLength() + 1);
  Harness h(tooLong);
  h.make();
  h.controller->connectAndPumpSocket();
  ASSERT_TRUE(h.log.waitFor("FATAL: socket path too long: " + tooLong));
  h.controller.reset();
  EXPECT_EQ(h.app.runPending(), 1);
  EXPECT_EQ(h.app.terminations, 1);
  EXPECT_TRUE(h.pause.waits().empty());
}

TEST(MenubarConnection, CommandsAreDroppedWhileWaitingAndTheEndIsQuiet) {
  Harness h;
  h.make();
  h.controller->connectAndPumpSocket();
  h.item.click("Connect");
  ASSERT_TRUE(h.log.waitFor("sendCommand(connect) dropped \u2014 bridge not connected"));
  h.controller.reset();
  EXPECT_EQ(h.log.lines().size(), 1u);
}

}  // namespace
}  // namespace velto
