// Path and directory operations of the hand-off on Linux: /proc/self/exe,
// realpath, $HOME / the password database, the XDG data directory, mkdir.
// Main thread only.
#include <errno.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/io.h"
#include "common/paths.h"
#include "launcher/file_system.h"
#include "launcher/handoff.h"

namespace velto::launcher {

namespace {

std::optional<std::string> realPath(const std::string& path) {
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer) == nullptr) return std::nullopt;
  return std::string(buffer);
}

bool isDirectory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

Error failureAt(int err, const std::string& path) { return Error{path, err}; }

}  // namespace

// /proc/self/exe names the file with its links already resolved.
Result<std::string> resolvedOwnExecutablePath() { return ownExecutablePath(); }

std::string resolveSymlinks(const std::string& absolutePath) {
  if (auto resolved = realPath(absolutePath)) return *resolved;
  std::string parent = parentPath(absolutePath);
  if (auto resolvedParent = realPath(parent)) {
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

Status createDirectories(const std::string& path) {
  // The common case, an existing directory, costs one mkdir and one stat; the
  // parents are only walked when something is missing.
  if (::mkdir(path.c_str(), 0700) == 0) return {};
  int err = errno;
  if (err == EEXIST) {
    if (isDirectory(path)) return {};
    return failureAt(err, path);
  }
  if (err != ENOENT || path == "/") return failureAt(err, path);
  if (Status parent = createDirectories(parentPath(path)); !parent) return parent;
  if (::mkdir(path.c_str(), 0700) == 0) return {};
  err = errno;
  if (err == EEXIST && isDirectory(path)) return {};  // made by someone else meanwhile
  return failureAt(err, path);
}

}  // namespace velto::launcher
