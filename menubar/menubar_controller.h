// The agent's controller: keeps the VPN state the bridge last reported, shows
// it in the status item's menu and icon, turns menu choices into commands, and
// runs the bridge connection.
//
// Threads: construction, destruction, the menu actions, refreshMenu, mainApp
// and the icon operations run on the main thread. The connection thread (started
// by connectAndPumpSocket) runs the connect loop, readLoop and handleLine.
// sendCommand may be called from any thread; its writes happen on the queue of
// the BridgeSocket, which alone owns the connected descriptor.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "common/bridge_wire.h"
#include "common/log.h"
#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "common/weak_self.h"
#include "menubar/bridge_socket.h"
#include "menubar/platform.h"
#include "menubar/retry_pause.h"

namespace velto {

class MenubarController {
 public:
  // The services a controller works with. All references must outlive it.
  struct Services {
    Application& application;
    StatusItem& statusItem;
    Images& images;
    RunningApplications& runningApplications;
    const ProcessInfo& processInfo;
    LogFunction log;
    std::string socketPath;  // the bridge socket to connect to
    std::string bundleId;    // identifies the main application among running ones
    RetryPause& retryPause;  // between attempts to connect; stopped by the destructor
  };

  // The state as last reported by the bridge.
  struct State {
    std::string status = std::string(statusWord(VpnStatus::idle));  // the word as sent
    bool killSwitch = false;
    std::optional<std::string> relayId;
  };

  // Loads the icons, builds the menu, attaches it and shows the first picture
  // ("Not connected"). Does not connect: call connectAndPumpSocket.
  explicit MenubarController(Services services);
  // Stops the connection thread quietly (no log line, no termination) and drops
  // commands not yet written. Main thread.
  ~MenubarController();
  MenubarController(const MenubarController&) = delete;
  MenubarController& operator=(const MenubarController&) = delete;

  // --- Bridge connection ---
  // Starts the connection thread and returns at once. It tries to connect every
  // second until it succeeds, reads lines until the stream ends, then logs the
  // end and asks the application to terminate. A socket path too long for a
  // socket address ends the agent at once with a FATAL line. Call once.
  void connectAndPumpSocket();
  // Connection thread: reads `fd` until end of stream or error, handing every
  // non-empty line to handleLine in order.
  void readLoop(int fd);
  // Any thread: queues the line for `command` for writing to the bridge.
  // While no bridge is connected the command is dropped (and logged).
  void sendCommand(BridgeCommand command);

  // --- Bridge lines ---
  // Connection thread: acts on one line (without its line feed).
  void handleLine(std::string_view line);

  // --- Menu (main thread) ---
  // Applies the stored state to the menu titles, hidden flags and icon.
  void refreshMenu();
  // The running main application: another process with the main application's
  // bundle identifier, preferring one with the regular activation policy.
  std::optional<RunningApplication> mainApp();
  // The menu row for `command` was chosen: Show window and Quit bring the
  // main application forward first, then every row sends its command.
  void chooseCommand(BridgeCommand command);

  // --- Icons (main thread) ---
  std::string iconDir() const;
  // The symbolic pair where the platform has one; else the two files of
  // iconDir(); else one fallback image for both.
  // The image of file `name` in iconDir(), or null (logged) when it cannot be loaded.
  ImagePtr loadTemplate(const std::string& name);
  void loadIcons();
  void installFallbackIcon();

  // Readouts for the platform and for tests. Any thread / main thread.
  State state() const VELTO_EXCLUDES(stateMutex_);
  const ImagePtr& connectedIcon() const { return connectedIcon_; }
  const ImagePtr& disconnectedIcon() const { return disconnectedIcon_; }

 private:
  void buildMenu();
  void showIconFor(const std::string& status);
  // Main thread: the platform's word on whether a tray host shows the item.
  void trayHostChanged(bool present);
  void bringMainAppForward();
  void logInvalidLine(std::string_view line);
  void connectionTask();
  // Connection thread: from a connected socket to the end of the agent.
  void pumpConnection(UniqueFd fd);

  Services services_;

  // Guards the reported state: written by the connection thread, read by the
  // main thread's refresh.
  mutable Mutex stateMutex_;
  State state_ VELTO_GUARDED_BY(stateMutex_);

  // Main thread only.
  ImagePtr connectedIcon_;
  ImagePtr disconnectedIcon_;
  MenuItemId statusLine_ = -1;
  MenuItemId showWindowItem_ = -1;
  MenuItemId connectItem_ = -1;
  MenuItemId disconnectItem_ = -1;
  MenuItemId killSwitchItem_ = -1;
  bool trayHostMissingLogged_ = false;
  // Blocks posted to the main thread hold this weakly: once the controller is
  // gone they do nothing.
  WeakSelf<MenubarController> self_;

  std::thread connection_;
  BridgeSocket bridge_;  // last: destroyed first, before what its tasks use
};

}  // namespace velto
