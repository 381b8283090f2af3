// ProcessInfo for Linux: the process environment, /proc/self/exe and $TMPDIR.
// Any thread.
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include "menubar/platform.h"

#include "common/no_destructor.h"

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

  std::string temporaryDirectory() const override {
    std::string dir = environmentValue("TMPDIR").value_or("");
    if (dir.empty()) return "/tmp/";
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (dir != "/") dir += '/';
    return dir;
  }
};

}  // namespace

const ProcessInfo& systemProcessInfo() {
  static const NoDestructor<LinuxProcessInfo> info;
  return *info;
}

}  // namespace velto
