// The services the menu-bar agent takes from the platform, one small interface
// each. The controller decides everything (titles, visibility, which icon, which
// application); an implementation only carries out the calls. Each platform
// supplies its own files (status_item_gtk.cc, images_gtk.cc, ... on Linux;
// *_mac.mm on macOS), chosen by menubar/CMakeLists.txt, and createMenubarPlatform()
// in platform_<name>.cc puts them together.
//
// Threads: every call below is made on the main thread (the thread that runs
// Application::run), except Application::postToMain, which any thread may call,
// and ProcessInfo, which is read-only and may be called from any thread.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace velto {

// An image that the status item can show. Opaque to portable code: only the
// Images service that made it and the StatusItem look inside (e.g. an NSImage
// behind an Objective-C++ Impl, or an icon path for the GTK indicator).
class Image {
 public:
  virtual ~Image() = default;
};
using ImagePtr = std::shared_ptr<const Image>;

class Images {
 public:
  virtual ~Images() = default;
  // Loads the PNG file at `path`, gives it a display size of `points` x `points`
  // and marks it as a template (drawn from its alpha channel in the menu bar's
  // own colour, where the platform has that notion). Null when the file is
  // missing or not a readable image. Logs nothing.
  virtual ImagePtr loadTemplate(const std::string& path, int points) = 0;
  // The platform's own VPN symbol as a template image ("shield.lefthalf.filled"
  // with description "veltoVpn" on macOS, the icon theme's
  // "network-vpn-symbolic" on Linux). Null when the platform has none.
  virtual ImagePtr fallbackSymbol() = 0;
  // A 16 x 16 point template image of `letter`, drawn black in the semibold
  // system font at 13 points with its origin 2 points from the left on the
  // bottom edge. Never null.
  virtual ImagePtr drawnLetter(std::string_view letter) = 0;
  // The symbolic icon `name` (an icon theme name, its file `name` + ".svg"),
  // which the panel draws in its own foreground colour: from `directory` when
  // the file is there, else from the icon theme. Null when it is in neither,
  // and on platforms whose menu bar takes template images instead (macOS).
  virtual ImagePtr loadSymbolic(const std::string& directory, const std::string& name) {
    (void)directory;
    (void)name;
    return nullptr;
  }
};

// Identifies an item of the status item's menu; handed out by addItem.
using MenuItemId = int;

// The agent's item in the menu bar (tray) with the menu that opens from it.
class StatusItem {
 public:
  virtual ~StatusItem() = default;
  // Appends an enabled, visible item. `action` (may be empty: no action) runs
  // on the main thread each time the user chooses the item. `keyEquivalent` is
  // the platform's shortcut letter with its default modifier ("" for none); a
  // platform without menu shortcuts ignores it.
  virtual MenuItemId addItem(std::string_view title, std::function<void()> action,
                             std::string_view keyEquivalent) = 0;
  virtual void addSeparator() = 0;
  virtual void setTitle(MenuItemId item, std::string_view title) = 0;
  // A hidden item takes no room in the menu.
  virtual void setHidden(MenuItemId item, bool hidden) = 0;
  // A disabled item is shown but cannot be chosen.
  virtual void setEnabled(MenuItemId item, bool enabled) = 0;
  // Called once, after the last addItem/addSeparator: from now on clicking the
  // status item opens the menu.
  virtual void attachMenu() = 0;
  // Shows `image` as the status item's icon. Does nothing when the item has no
  // place for an image (no button).
  virtual void setImage(const ImagePtr& image) = 0;
  // What a screen reader (and, where there is one, the tooltip) says for the
  // item. Does nothing where the item has no place for it.
  virtual void setDescription(std::string_view text) { (void)text; }
  // Calls `changed` on the main thread with false when no tray host is there
  // to show the item, and with true when one is, each time that changes (the
  // first call says how things stand). Platforms whose menu bar is always
  // there never call it.
  virtual void watchHost(std::function<void(bool present)> changed) { (void)changed; }
};

enum class ActivationPolicy { kRegular, kAccessory, kProhibited };

struct RunningApplication {
  pid_t pid = 0;
  ActivationPolicy policy = ActivationPolicy::kRegular;
  bool operator==(const RunningApplication&) const = default;
};

// Other running applications, known by bundle identifier. Platforms without
// such a registry (Linux) list none.
class RunningApplications {
 public:
  virtual ~RunningApplications() = default;
  // Running applications that carry `bundleId`, in the platform's order.
  virtual std::vector<RunningApplication> withBundleIdentifier(const std::string& bundleId) = 0;
  // Requests to the application with `pid`; the answers are not examined, so a
  // process that has gone meanwhile is simply no-op.
  virtual void hide(pid_t pid) = 0;
  virtual void unhide(pid_t pid) = 0;
  // Brings it to the front, ignoring other applications.
  virtual void activateIgnoringOtherApps(pid_t pid) = 0;
};

// The application object: event loop and main-thread queue.
class Application {
 public:
  virtual ~Application() = default;
  // Accessory policy: no Dock icon and no application menu; the agent shows
  // itself through its status item only. No-op where the notion does not exist.
  virtual void setAccessoryPolicy() = 0;
  // Runs the main event loop on the calling (main) thread until terminate().
  virtual void run() = 0;
  // Any thread: runs `block` on the main thread, inside run(), after the blocks
  // posted before it. Blocks posted once run() has returned may never run.
  virtual void postToMain(std::function<void()> block) = 0;
  // Main thread: makes run() return so that the program can end in an orderly way.
  virtual void terminate() = 0;
};

// Facts about this process. Read-only; any thread.
class ProcessInfo {
 public:
  virtual ~ProcessInfo() = default;
  // The environment variable `name`, or absent when it is not set (an empty
  // value is returned as the empty string).
  virtual std::optional<std::string> environmentValue(const char* name) const = 0;
  // Absolute path of the running executable, or why it is unknown.
  [[nodiscard]] virtual Result<std::string> executablePath() const = 0;
  // The per-user temporary directory, always ending in "/".
  virtual std::string temporaryDirectory() const = 0;
};

// Everything one run of the agent uses, made by createMenubarPlatform().
struct MenubarPlatform {
  std::unique_ptr<Application> application;
  std::unique_ptr<StatusItem> statusItem;
  std::unique_ptr<Images> images;
  std::unique_ptr<RunningApplications> runningApplications;
  // Set when the platform runs without its user interface (for instance no
  // display): the line to log once after the start line.
  std::optional<std::string> notice;
};

// The ProcessInfo of this process (one per program, never destroyed).
const ProcessInfo& systemProcessInfo();

// Main thread, once, before anything else touches the platform's user
// interface. Never fails: without a usable display it returns services that
// run the event loop with no visible status item.
MenubarPlatform createMenubarPlatform();

}  // namespace velto
