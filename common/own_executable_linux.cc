// ownExecutablePath through /proc/self/exe. Any thread.
#include <errno.h>
#include <limits.h>
#include <unistd.h>

#include "common/paths.h"

namespace velto {

Result<std::string> ownExecutablePath() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n < 0) return errnoError("readlink(/proc/self/exe)");
  if (n == 0 || static_cast<size_t>(n) >= sizeof buffer) {
    return Error{"readlink(/proc/self/exe)", ENAMETOOLONG};
  }
  return std::string(buffer, static_cast<size_t>(n));
}

}  // namespace velto
