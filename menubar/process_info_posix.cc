// ProcessInfo on POSIX systems: the process environment, the program's own file
// (common/paths.h) and the private directory. Any thread.
#include <stdlib.h>

#include "common/no_destructor.h"
#include "common/paths.h"
#include "common/private_directory.h"
#include "menubar/platform.h"

namespace velto {

namespace {

class PosixProcessInfo final : public ProcessInfo {
 public:
  std::optional<std::string> environmentValue(const char* name) const override {
    const char* value = ::getenv(name);
    if (!value) return std::nullopt;
    return std::string(value);
  }

  Result<std::string> executablePath() const override { return ownExecutablePath(); }

  // REQUIRES: privateDirectory() found one (the agent ends at start otherwise).
  std::string temporaryDirectory() const override {
    return privateDirectory().path.value_or("/tmp/");
  }
};

}  // namespace

const ProcessInfo& systemProcessInfo() {
  static const NoDestructor<PosixProcessInfo> info;
  return *info;
}

}  // namespace velto
