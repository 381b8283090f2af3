// The Linux search for the private directory, exposed so that tests can hand in
// their own candidates. Programs use privateDirectory(). Any thread.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "common/private_directory.h"

namespace velto {

// Why `path` cannot serve as the private directory of `uid`, or nothing when it
// can: it must be an absolute path naming a directory itself (not a symbolic
// link to one), owned by `uid`, with no permission bit for group or others.
std::optional<std::string> privateDirectoryFlaw(const std::string& path, uid_t uid);

// The first usable of $XDG_RUNTIME_DIR (`xdgRuntimeDir`), $TMPDIR (`tmpDir`) and
// `fallbackParent` + "/veltovpn-<uid>", the last created with mode 0700 when
// missing. Unset or empty variables are no candidates.
PrivateDirectory findPrivateDirectory(const std::optional<std::string>& xdgRuntimeDir,
                                      const std::optional<std::string>& tmpDir, uid_t uid,
                                      const std::string& fallbackParent);

}  // namespace velto
