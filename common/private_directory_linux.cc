// The private directory on Linux. A directory any other user could have made or
// can enter is no place for a socket that carries the user's VPN commands, so
// every candidate is checked before it is used. Any thread.
#include "common/private_directory_linux.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "common/io.h"

namespace velto {

namespace {

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string withSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path != "/") path += '/';
  return path;
}

std::optional<std::string> environmentValue(const char* name) {
  const char* value = ::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

}  // namespace

std::optional<std::string> privateDirectoryFlaw(const std::string& path, uid_t uid) {
  if (path.empty() || path.front() != '/') return "not an absolute path";
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) return errnoText(errno);
  if (S_ISLNK(info.st_mode)) return "a symbolic link";
  if (!S_ISDIR(info.st_mode)) return "not a directory";
  if (info.st_uid != uid) {
    return "belongs to uid " + std::to_string(info.st_uid) + ", not to this user";
  }
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    return "open to group or others (mode " + octal(info.st_mode) + ")";
  }
  return std::nullopt;
}

PrivateDirectory findPrivateDirectory(const std::optional<std::string>& xdgRuntimeDir,
                                      const std::optional<std::string>& tmpDir, uid_t uid,
                                      const std::string& fallbackParent) {
  PrivateDirectory result;
  auto usable = [&](const std::string& label, const std::string& path) {
    std::optional<std::string> flaw = privateDirectoryFlaw(path, uid);
    if (flaw) result.skipped.push_back("private directory: skipped " + label + path + ": " + *flaw);
    return !flaw;
  };
  for (const auto& [label, value] : {std::pair{"XDG_RUNTIME_DIR=", &xdgRuntimeDir},
                                     std::pair{"TMPDIR=", &tmpDir}}) {
    if (!value->has_value() || (*value)->empty()) continue;
    if (usable(label, **value)) {
      result.path = withSlash(**value);
      return result;
    }
  }
  const std::string fallback = withSlash(fallbackParent) + "veltovpn-" + std::to_string(uid);
  // An existing one is checked like any other candidate: another user may have
  // made it first.
  if (::mkdir(fallback.c_str(), 0700) != 0 && errno != EEXIST) {
    result.skipped.push_back("private directory: cannot create " + fallback + ": " + errnoText(errno));
    return result;
  }
  if (usable("", fallback)) result.path = withSlash(fallback);
  return result;
}

const PrivateDirectory& privateDirectory() {
  static const PrivateDirectory* const directory = new PrivateDirectory(findPrivateDirectory(
      environmentValue("XDG_RUNTIME_DIR"), environmentValue("TMPDIR"), ::geteuid(), "/tmp"));
  return *directory;
}

}  // namespace velto
