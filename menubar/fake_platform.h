// Recording fakes of the platform services, for the controller's tests. The
// main thread of a test is the test's own thread: it runs posted blocks with
// FakeApplication::runPending.
#pragma once

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/mutex.h"
#include "common/testing/process.h"
#include "menubar/platform.h"
#include "menubar/retry_pause.h"

namespace velto {

class FakeApplication final : public Application {
 public:
  void setAccessoryPolicy() override {}
  void run() override {}
  void postToMain(std::function<void()> block) override {
    MutexLock lock(mutex_);
    blocks_.push_back(std::move(block));
  }
  void terminate() override { ++terminations; }

  // Runs the blocks posted so far, in order; returns how many ran.
  int runPending() {
    std::deque<std::function<void()>> blocks;
    {
      MutexLock lock(mutex_);
      blocks.swap(blocks_);
    }
    for (auto& block : blocks) block();
    return static_cast<int>(blocks.size());
  }

  int terminations = 0;  // main thread only

 private:
  Mutex mutex_;
  std::deque<std::function<void()>> blocks_ VELTO_GUARDED_BY(mutex_);
};

struct FakeImage final : public Image {
  explicit FakeImage(std::string name_) : name(std::move(name_)) {}
  std::string name;
};

inline std::string imageName(const ImagePtr& image) {
  auto* fake = dynamic_cast<const FakeImage*>(image.get());
  return fake ? fake->name : "(none)";
}

class FakeImages final : public Images {
 public:
  ImagePtr loadTemplate(const std::string& path, int points) override {
    if (!files.count(path)) return nullptr;
    return std::make_shared<FakeImage>(path + "@" + std::to_string(points));
  }
  ImagePtr fallbackSymbol() override {
    return hasSymbol ? std::make_shared<FakeImage>("symbol") : nullptr;
  }
  ImagePtr drawnLetter(std::string_view letter) override {
    return std::make_shared<FakeImage>("letter " + std::string(letter));
  }
  ImagePtr loadSymbolic(const std::string& directory, const std::string& name) override {
    if (!symbols.count(name)) return nullptr;
    return std::make_shared<FakeImage>(name + " in " + directory);
  }

  std::set<std::string> files;    // paths that load
  std::set<std::string> symbols;  // symbolic icon names that load
  bool hasSymbol = true;
};

class FakeStatusItem final : public StatusItem {
 public:
  struct Item {
    std::string title;  // "-" for a separator
    std::function<void()> action;
    std::string key;
    bool hidden = false;
    bool enabled = true;
  };

  MenuItemId addItem(std::string_view title, std::function<void()> action,
                     std::string_view key) override {
    items.push_back({std::string(title), std::move(action), std::string(key)});
    return static_cast<MenuItemId>(items.size() - 1);
  }
  void addSeparator() override { items.push_back({"-", nullptr, ""}); }
  void setTitle(MenuItemId id, std::string_view title) override { items.at(id).title = title; }
  void setHidden(MenuItemId id, bool hidden) override { items.at(id).hidden = hidden; }
  void setEnabled(MenuItemId id, bool enabled) override { items.at(id).enabled = enabled; }
  void attachMenu() override { itemsWhenAttached = static_cast<int>(items.size()); }
  void setImage(const ImagePtr& image_) override { image = image_; }
  void setDescription(std::string_view text) override { description = text; }
  void watchHost(std::function<void(bool present)> changed) override {
    hostChanged = std::move(changed);
  }

  // The row titled `title`.
  Item& find(const std::string& title) {
    return row([&](const Item& i) { return i.title == title; }, title);
  }
  // The first row whose title starts with `start`, e.g. "Kill-switch: ".
  Item& startingWith(std::string_view start) {
    return row([&](const Item& i) { return i.title.starts_with(start); }, std::string(start));
  }
  // The row that only shows the state: no action, and not a separator.
  Item& statusRow() {
    return row([](const Item& i) { return !i.action && i.title != "-"; }, "(status)");
  }
  void click(const std::string& title) { find(title).action(); }

  std::vector<Item> items;
  int itemsWhenAttached = -1;
  ImagePtr image;
  std::string description;
  std::function<void(bool present)> hostChanged;  // the controller's, once it watches

 private:
  template <typename Match>
  Item& row(Match match, const std::string& what) {
    auto it = std::find_if(items.begin(), items.end(), match);
    if (it == items.end()) throw std::runtime_error("no menu item " + what);
    return *it;
  }
};

class FakeRunningApplications final : public RunningApplications {
 public:
  std::vector<RunningApplication> withBundleIdentifier(const std::string& bundleId) override {
    calls.push_back("list " + bundleId);
    return apps;
  }
  void hide(pid_t pid) override { calls.push_back("hide " + std::to_string(pid)); }
  void unhide(pid_t pid) override { calls.push_back("unhide " + std::to_string(pid)); }
  void activateIgnoringOtherApps(pid_t pid) override {
    calls.push_back("activate " + std::to_string(pid));
  }

  std::vector<RunningApplication> apps;
  std::vector<std::string> calls;
};

class FakeProcessInfo final : public ProcessInfo {
 public:
  std::optional<std::string> environmentValue(const char* name) const override {
    auto it = environment.find(name);
    if (it == environment.end()) return std::nullopt;
    return it->second;
  }
  Result<std::string> executablePath() const override {
    if (!executable) return Error{"no executable", ENOENT};
    return *executable;
  }
  std::string temporaryDirectory() const override { return temporary; }

  std::map<std::string, std::string> environment;
  std::optional<std::string> executable =
      "/Applications/veltoVpn.app/Contents/MacOS/veltovpn-menubar";
  std::string temporary = "/tmp/user/";
};

// Waits that take no time and are recorded: the connection thread's retries run
// at full speed. `onWait`, when set, runs on the connection thread before each
// wait returns, with the wait's number (from 1). After kFastWaits waits it
// blocks until stop(), as a real wait would, so that a bridge that never comes
// does not spin a thread.
class FakeRetryPause final : public RetryPause {
 public:
  static constexpr size_t kFastWaits = 100;

  bool wait(std::chrono::seconds delay) override {
    size_t number = 0;
    {
      MutexLock lock(mutex_);
      waits_.push_back(delay);
      number = waits_.size();
    }
    if (onWait) onWait(number);
    MutexLock lock(mutex_);
    while (!stopped_ && number > kFastWaits) stopSignal_.wait(mutex_);
    return !stopped_;
  }
  void stop() override {
    MutexLock lock(mutex_);
    stopped_ = true;
    stopSignal_.notifyAll();
  }
  std::vector<std::chrono::seconds> waits() const {
    MutexLock lock(mutex_);
    return waits_;
  }

  std::function<void(size_t number)> onWait;  // set before the connection thread starts

 private:
  mutable Mutex mutex_;
  CondVar stopSignal_;
  std::vector<std::chrono::seconds> waits_ VELTO_GUARDED_BY(mutex_);
  bool stopped_ VELTO_GUARDED_BY(mutex_) = false;
};

// A log that any thread may write to and a test may wait on.
class RecordingLog {
 public:
  LogFunction function() {
    return [this](std::string_view message) { add(message); };
  }
  std::vector<std::string> lines() const {
    MutexLock lock(mutex_);
    return lines_;
  }
  // Waits (bounded, so a fault fails instead of hanging) until `line` is logged.
  bool waitFor(const std::string& line) const {
    return test_support::eventually([&] {
      MutexLock lock(mutex_);
      return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    });
  }

 private:
  void add(std::string_view message) {
    MutexLock lock(mutex_);
    lines_.emplace_back(message);
  }

  mutable Mutex mutex_;
  std::vector<std::string> lines_ VELTO_GUARDED_BY(mutex_);
};

}  // namespace velto
