// The Linux search for the private directory, exposed so that tests can hand in
// their own candidates. Programs use privateDirectory(). Any thread.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "common/private_directory.h"
#include "common/result.h"

namespace velto {

// Whether `path` can serve as the private directory of `uid`: it must be an
// absolute path naming a directory itself, with no symbolic link in any of its
// parts (a trailing slash or not), owned by `uid`, with no permission bit for
// group or others. The Error's message() says why not.
[[nodiscard]] Status checkPrivateDirectory(const std::string& path, uid_t uid);

// Where the search looks, as the environment names it; unset or empty values are
// no candidates.
struct PrivateDirectoryPlaces {
  std::optional<std::string> xdgRuntimeDir;  // $XDG_RUNTIME_DIR
  std::optional<std::string> tmpDir;         // $TMPDIR
  std::string sharedParent = "/tmp";         // holds veltovpn-<uid>
  std::optional<std::string> xdgCacheHome;   // $XDG_CACHE_HOME, used when absolute
  std::optional<std::string> home;           // $HOME, for ~/.cache
};

// The first usable of $XDG_RUNTIME_DIR, $TMPDIR, `sharedParent` + "/veltovpn-<uid>"
// and the user's cache directory + "/veltovpn" ($XDG_CACHE_HOME, else ~/.cache).
// The last two are created with mode 0700 when missing, the cache directory's
// missing parents as well.
PrivateDirectory findPrivateDirectory(const PrivateDirectoryPlaces& places, uid_t uid);

}  // namespace velto
