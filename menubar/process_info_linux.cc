// ProcessInfo for Linux: the process environment, /proc/self/exe and the
// private directory. Any thread.
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include "common/no_destructor.h"
#include "common/private_directory.h"
#include "menubar/platform.h"

namespace velto {

namespace {

class LinuxProcessInfo final : public ProcessInfo {
 public:
  std::optional<std::string> environmentValue(const char* name) const override {
    const char* value = ::getenv(name);
    if (!value) return std::nullopt;
    return std::string(value);
  }

  std::optional<std::string> executablePath() const override {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return std::nullopt;
    return std::string(buffer, static_cast<size_t>(n));
  }

  // REQUIRES: privateDirectory() found one (the agent ends at start otherwise).
  std::string temporaryDirectory() const override { return privateDirectory().path.value_or("/tmp/"); }
};

}  // namespace

const ProcessInfo& systemProcessInfo() {
  static const NoDestructor<LinuxProcessInfo> info;
  return *info;
}

}  // namespace velto
