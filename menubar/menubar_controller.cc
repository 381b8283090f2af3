// MenubarController: state, menu, icons and the bridge connection.
// Threads as described in menubar_controller.h.
#include "menubar/menubar_controller.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "common/io.h"
#include "common/line_splitter.h"
#include "common/peer_credentials.h"
#include "common/unique_fd.h"
#include "common/unix_socket.h"
#include "menubar/paths.h"
#include "menubar/text.h"

namespace velto {

namespace {

constexpr size_t kReadBufferSize = 4096;
constexpr size_t kInvalidLineCharacters = 120;
constexpr int kIconPoints = 18;
constexpr char kConnectedIconFile[] = "menubar-connected@2x.png";
constexpr char kDisconnectedIconFile[] = "menubar-disconnected@2x.png";
constexpr char kConnectedSymbol[] = "veltovpn-connected-symbolic";
constexpr char kDisconnectedSymbol[] = "veltovpn-disconnected-symbolic";
constexpr char kProductName[] = "veltoVpn";

struct MenuPicture {
  std::string statusTitle;
  bool connectHidden;
  bool disconnectHidden;
};

bool isConnected(std::string_view status) { return statusNamed(status) == VpnStatus::connected; }

MenuPicture pictureFor(const MenubarController::State& state) {
  // Any word the agent does not know shows as not connected.
  switch (statusNamed(state.status).value_or(VpnStatus::idle)) {
    case VpnStatus::connected:
      return {state.relayId ? "Connected \u00B7 " + *state.relayId : "Connected", true, false};
    case VpnStatus::connecting:
      return {"Connecting\u2026", true, true};
    case VpnStatus::error:
      return {"Error", false, true};
    case VpnStatus::idle:
      break;
  }
  return {"Not connected", false, true};
}

std::string killSwitchTitle(bool on) { return on ? "Kill-switch: ON" : "Kill-switch: OFF"; }

// Connection thread: whether the bridge at the other end of `fd` runs as this
// user. Whoever else listens at the path (it may be a shared one) must never see
// the user's commands nor drive the menu. `logged` keeps the refusal to one line.
bool bridgeRunsAsThisUser(int fd, const std::string& path, const LogFunction& log, bool& logged) {
  Result<PeerCredentials> owner = peerCredentials(fd);
  if (owner.ok() && owner->uid == ::geteuid()) return true;
  if (!logged) {
    logged = true;
    log(owner.ok() ? "bridge at " + path + " belongs to uid " + std::to_string(owner->uid) +
                         ", not to this user"
                   : "bridge at " + path + ": its owner cannot be told: " + owner.error().reason());
  }
  return false;
}

}  // namespace

MenubarController::MenubarController(Services services)
    : services_(std::move(services)), self_(this), bridge_(services_.log) {
  loadIcons();
  buildMenu();
  services_.statusItem.attachMenu();
  refreshMenu();
  services_.statusItem.watchHost(
      self_.guard([](MenubarController& self, bool present) { self.trayHostChanged(present); }));
}

MenubarController::~MenubarController() {
  services_.retryPause.stop();
  // Ends a blocked read: the connection thread then finds the controller going
  // and stops without logging or terminating.
  bridge_.close();
  if (connection_.joinable()) connection_.join();
  self_.reset();
}

// ---------------------------------------------------------------- menu

void MenubarController::buildMenu() {
  StatusItem& item = services_.statusItem;
  statusLine_ = item.addItem("Not connected", nullptr, "");
  item.setEnabled(statusLine_, false);
  item.addSeparator();
  auto chosen = [this](BridgeCommand command) {
    return [this, command] { chooseCommand(command); };
  };
  showWindowItem_ = item.addItem("Show window", chosen(BridgeCommand::showWindow), "");
  item.addSeparator();
  connectItem_ = item.addItem("Connect", chosen(BridgeCommand::connect), "");
  disconnectItem_ = item.addItem("Disconnect", chosen(BridgeCommand::disconnect), "");
  item.setHidden(disconnectItem_, true);
  killSwitchItem_ =
      item.addItem(killSwitchTitle(false), chosen(BridgeCommand::toggleKillSwitch), "");
  item.addSeparator();
  item.addItem("Quit veltoVpn", chosen(BridgeCommand::quit), "q");
}

void MenubarController::refreshMenu() {
  State now = state();
  MenuPicture picture = pictureFor(now);
  StatusItem& item = services_.statusItem;
  item.setTitle(statusLine_, picture.statusTitle);
  item.setHidden(connectItem_, picture.connectHidden);
  item.setHidden(disconnectItem_, picture.disconnectHidden);
  item.setTitle(killSwitchItem_, killSwitchTitle(now.killSwitch));
  // Panels show the item by its picture alone; this is what a screen reader
  // (or the tooltip) says instead.
  item.setDescription(std::string(kProductName) + ": " + picture.statusTitle);
  showIconFor(now.status);
}

void MenubarController::trayHostChanged(bool present) {
  // Once: a desktop without a tray host stays so for the whole session, and
  // the item appears by itself when a host starts.
  if (present || trayHostMissingLogged_) return;
  trayHostMissingLogged_ = true;
  services_.log("no tray host on this desktop: the menu-bar icon is not shown until one starts");
}

MenubarController::State MenubarController::state() const {
  MutexLock lock(stateMutex_);
  return state_;
}

std::optional<RunningApplication> MenubarController::mainApp() {
  const pid_t self = ::getpid();
  std::vector<RunningApplication> apps =
      services_.runningApplications.withBundleIdentifier(services_.bundleId);
  for (const RunningApplication& app : apps) {
    if (app.pid != self && app.policy == ActivationPolicy::kRegular) return app;
  }
  for (const RunningApplication& app : apps) {
    if (app.pid != self) return app;
  }
  return std::nullopt;
}

void MenubarController::bringMainAppForward() {
  if (auto app = mainApp()) {
    services_.runningApplications.unhide(app->pid);
    services_.runningApplications.activateIgnoringOtherApps(app->pid);
  }
}

void MenubarController::chooseCommand(BridgeCommand command) {
  switch (command) {
    case BridgeCommand::showWindow:
    case BridgeCommand::quit:
      bringMainAppForward();
      break;
    case BridgeCommand::connect:
    case BridgeCommand::disconnect:
    case BridgeCommand::toggleKillSwitch:
      break;
  }
  sendCommand(command);
}

// ---------------------------------------------------------------- icons

std::string MenubarController::iconDir() const { return iconDirFor(services_.processInfo); }

ImagePtr MenubarController::loadTemplate(const std::string& name) {
  std::string path = joinPath(iconDir(), name);
  ImagePtr image = services_.images.loadTemplate(path, kIconPoints);
  if (!image) services_.log("icon load failed: " + path);
  return image;
}

void MenubarController::loadIcons() {
  // Symbolic icons first: panels recolour them to their own foreground, so
  // they stay visible on dark and light panels alike.
  const std::string dir = iconDir();
  connectedIcon_ = services_.images.loadSymbolic(dir, kConnectedSymbol);
  disconnectedIcon_ = services_.images.loadSymbolic(dir, kDisconnectedSymbol);
  if (connectedIcon_ && disconnectedIcon_) return;
  connectedIcon_ = loadTemplate(kConnectedIconFile);
  disconnectedIcon_ = loadTemplate(kDisconnectedIconFile);
  // Both or neither: the two states never mix a file image with the fallback.
  if (!connectedIcon_ || !disconnectedIcon_) installFallbackIcon();
}

void MenubarController::installFallbackIcon() {
  ImagePtr image = services_.images.fallbackSymbol();
  if (!image) image = services_.images.drawnLetter("V");
  connectedIcon_ = image;
  disconnectedIcon_ = image;
}

void MenubarController::showIconFor(const std::string& status) {
  services_.statusItem.setImage(isConnected(status) ? connectedIcon_ : disconnectedIcon_);
}

// ---------------------------------------------------------------- bridge lines

void MenubarController::handleLine(std::string_view line) {
  MenubarFrame frame = parseMenubarLine(line);
  const MenubarFrame::Value& value = frame.value();

  if (auto* status = std::get_if<MenubarFrame::Status>(&value)) {
    State stored;
    {
      MutexLock lock(stateMutex_);
      if (status->payload.status) state_.status = *status->payload.status;
      if (status->payload.killSwitch) state_.killSwitch = *status->payload.killSwitch;
      state_.relayId = status->payload.relayId;  // an absent relay identifier clears it
      stored = state_;
    }
    services_.application.postToMain(
        self_.guard([](MenubarController& self) { self.refreshMenu(); }));
    services_.log("status: " + escapeControlCharacters(stored.status) +
                  " ks=" + (stored.killSwitch ? "true" : "false") +
                  " rid=" + escapeControlCharacters(stored.relayId.value_or("-")));
  } else if (std::holds_alternative<MenubarFrame::HideApp>(value)) {
    services_.application.postToMain(self_.guard([](MenubarController& controller) {
      if (auto app = controller.mainApp()) {
        controller.services_.runningApplications.hide(app->pid);
        controller.services_.log("hid main app (close-to-tray)");
      } else {
        controller.services_.log("hide-app: main app not found");
      }
    }));
  } else if (auto* unknown = std::get_if<MenubarFrame::Unknown>(&value)) {
    services_.log("unknown server-side type: " + escapeControlCharacters(unknown->type));
  } else if (std::holds_alternative<MenubarFrame::Invalid>(value)) {
    logInvalidLine(line);
  }
  // A ping needs nothing: no reply, no log line.
}

void MenubarController::logInvalidLine(std::string_view line) {
  services_.log("invalid line (first 120B): " +
                escapeControlCharacters(firstCharacters(line, kInvalidLineCharacters)));
}

// ---------------------------------------------------------------- connection

void MenubarController::connectAndPumpSocket() {
  connection_ = std::thread([this] { connectionTask(); });
}

void MenubarController::connectionTask() {
  const std::string& path = services_.socketPath;
  bool foreignBridgeLogged = false;
  for (;;) {
    Result<UniqueFd> socket = unixStreamSocket();
    if (!socket) {
      if (!services_.retryPause.wait(std::chrono::seconds(2))) return;
      continue;
    }
    UniqueFd fd = std::move(*socket);
    if (path.size() > maxSocketPathLength()) {
      services_.log("FATAL: socket path too long: " + path);
      fd.reset();
      Application& app = services_.application;
      app.postToMain([&app] { app.terminate(); });
      return;
    }
    // An empty path would name Linux's abstract namespace: treat it as the
    // failed attempt it is everywhere else.
    if (!path.empty() && connectUnixSocket(fd.get(), path).ok() &&
        bridgeRunsAsThisUser(fd.get(), path, services_.log, foreignBridgeLogged)) {
      pumpConnection(std::move(fd));
      return;
    }
    fd.reset();
    if (!services_.retryPause.wait(std::chrono::seconds(1))) return;
  }
}

void MenubarController::pumpConnection(UniqueFd fd) {
  // The number stays valid for reading until detach, which alone closes it.
  const int raw = fd.get();
  if (!bridge_.attach(std::move(fd))) return;
  // Logged once commands can go out, so that the line means what it says.
  services_.log("connected to bridge at " + services_.socketPath);

  readLoop(raw);

  if (!bridge_.detach()) return;
  services_.log("bridge socket EOF \u2014 parent .app exited");
  Application& app = services_.application;
  app.postToMain([&app] { app.terminate(); });
}

void MenubarController::readLoop(int fd) {
  LineSplitter splitter([this](std::string_view line) { handleLine(line); },
                        [this](std::string_view start) { logInvalidLine(start); });
  std::vector<char> buffer(kReadBufferSize, 0);
  for (;;) {
    Result<size_t> n = readLines(fd, splitter, buffer.data(), buffer.size());
    if (!n.ok() || *n == 0) return;
  }
}

void MenubarController::sendCommand(BridgeCommand command) {
  bridge_.send(std::string(actionName(command)), commandMessage(command));
}

}  // namespace velto
