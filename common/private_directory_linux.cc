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
#include "common/paths.h"

namespace velto {

namespace {

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string withSlash(std::string_view path) {
  std::string directory(withoutTrailingSlashes(path));
  if (directory != "/") directory += '/';
  return directory;
}

std::optional<std::string> environmentValue(const char* name) {
  const char* value = ::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

}  // namespace

Status checkPrivateDirectory(const std::string& path, uid_t uid) {
  if (path.empty() || path.front() != '/') return Error{"not an absolute path"};
  // Each part on its own: lstat of "link/" follows the link, and a link on the
  // way lets its owner choose where the socket and the log go.
  const std::string directory(withoutTrailingSlashes(path));
  struct stat info;
  for (size_t end = directory.find('/', 1);; end = directory.find('/', end + 1)) {
    const std::string part = directory.substr(0, end);
    if (::lstat(part.c_str(), &info) != 0) return errnoError("");
    if (S_ISLNK(info.st_mode)) {
      return Error{end == std::string::npos ? "a symbolic link"
                                            : "passes through the symbolic link " + part};
    }
    if (end == std::string::npos) break;
  }
  if (!S_ISDIR(info.st_mode)) return Error{"not a directory"};
  if (info.st_uid != uid) {
    return Error{"belongs to uid " + std::to_string(info.st_uid) + ", not to this user"};
  }
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    return Error{"open to group or others (mode " + octal(info.st_mode) + ")"};
  }
  return {};
}

PrivateDirectory findPrivateDirectory(const PrivateDirectoryPlaces& places, uid_t uid) {
  PrivateDirectory result;
  auto skip = [&](const std::string& what, const std::string& why) {
    result.skipped.push_back("private directory: skipped " + what + ": " + why);
  };
  auto usable = [&](const std::string& label, const std::string& path) {
    Status checked = checkPrivateDirectory(path, uid);
    if (!checked) skip(label + path, checked.error().message());
    return checked.ok();
  };
  // Made here when missing; one that exists is checked like any other candidate:
  // another user may have made it first.
  auto made = [&](const std::string& path) {
    // Something other than a directory in the way is told by the check below.
    if (Status created = createDirectories(path); !created && created.error().code != EEXIST) {
      result.skipped.push_back("private directory: cannot create " + path + ": " +
                               created.error().reason());
      return false;
    }
    return usable("", path);
  };
  for (const auto& [label, value] : {std::pair{"XDG_RUNTIME_DIR=", &places.xdgRuntimeDir},
                                     std::pair{"TMPDIR=", &places.tmpDir}}) {
    if (!value->has_value() || (*value)->empty()) continue;
    if (usable(label, **value)) {
      result.path = withSlash(**value);
      return result;
    }
  }
  const std::string shared = withSlash(places.sharedParent) + "veltovpn-" + std::to_string(uid);
  if (made(shared)) {
    result.path = withSlash(shared);
    return result;
  }
  // The user's own cache, which no other user can take first. A relative
  // XDG_CACHE_HOME is ignored, as the base-directory rules say.
  std::optional<std::string> cache;
  if (places.xdgCacheHome && places.xdgCacheHome->starts_with('/')) {
    cache = withSlash(*places.xdgCacheHome);
  } else if (places.home && places.home->starts_with('/')) {
    cache = withSlash(*places.home) + ".cache/";
  } else if (places.home && !places.home->empty()) {
    skip("HOME=" + *places.home, "not an absolute path");
  }
  if (cache && made(*cache + "veltovpn")) result.path = *cache + "veltovpn/";
  return result;
}

const PrivateDirectory& privateDirectory() {
  static const PrivateDirectory* const directory = new PrivateDirectory(
      findPrivateDirectory({.xdgRuntimeDir = environmentValue("XDG_RUNTIME_DIR"),
                            .tmpDir = environmentValue("TMPDIR"),
                            .xdgCacheHome = environmentValue("XDG_CACHE_HOME"),
                            .home = environmentValue("HOME")},
                           ::geteuid()));
  return *directory;
}

}  // namespace velto
