// Path and directory operations of the hand-off on Linux: /proc/self/exe,
// realpath, $HOME / the password database, the XDG data directory.
// Main thread only.
#include <errno.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include "common/io.h"
#include "common/paths.h"
#include "launcher/file_system.h"
#include "launcher/handoff.h"

namespace velto::launcher {

namespace {

Result<std::string> realPath(const std::string& path) {
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer) == nullptr) {
    const int err = errno;
    return Error{"realpath(" + path + ")", err};
  }
  return std::string(buffer);
}

}  // namespace

// /proc/self/exe names the file with its links already resolved.
Result<std::string> resolvedOwnExecutablePath() { return ownExecutablePath(); }

std::string resolveSymlinks(const std::string& absolutePath) {
  // Whatever cannot be resolved is kept as given; why does not matter here.
  if (Result<std::string> resolved = realPath(absolutePath)) return *resolved;
  std::string parent = parentPath(absolutePath);
  if (Result<std::string> resolvedParent = realPath(parent)) {
    return joinPath(*resolvedParent, absolutePath.substr(absolutePath.rfind('/') + 1));
  }
  return absolutePath;
}

std::optional<std::string> homeDirectory() {
  if (const char* home = ::getenv("HOME"); home != nullptr && *home != '\0') return home;
  if (const struct passwd* entry = ::getpwuid(::getuid());
      entry != nullptr && entry->pw_dir != nullptr && *entry->pw_dir != '\0') {
    return entry->pw_dir;
  }
  return std::nullopt;
}

std::optional<std::string> runtimeDirectory() {
  std::optional<std::string> home = homeDirectory();
  if (!home) return std::nullopt;
  const char* xdgDataHome = ::getenv("XDG_DATA_HOME");
  return linuxRuntimeDirectoryFor(
      xdgDataHome ? std::optional<std::string_view>(xdgDataHome) : std::nullopt, *home);
}

// The shared mkdir -p; its Error names the path that failed, as perror would.
Status createDirectories(const std::string& path) { return velto::createDirectories(path); }

}  // namespace velto::launcher
