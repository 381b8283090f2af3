// The file-system operations of the hand-off, kept behind plain functions so the
// start-up sequence reads as one list and each platform can supply its own
// variant (file_system_posix.cc, file_system_paths_<platform>). Main thread only:
// some change process state.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/result.h"

namespace velto::launcher {

// The working directory; empty when it cannot be determined (e.g. removed).
std::string currentDirectory();

// `absolutePath` with every symbolic link resolved. When the path does not exist,
// its parent directory is resolved and the last component kept; when that fails
// too, the path comes back unchanged.
std::string resolveSymlinks(const std::string& absolutePath);

// The running program's own file (common/paths.h) with every symbolic link
// resolved. Unlike argv[0], whoever starts the launcher cannot choose it.
[[nodiscard]] Result<std::string> resolvedOwnExecutablePath();

// The user's home directory: $HOME when set and not empty, else the password
// database entry of the real user id (NSHomeDirectory() on macOS); nullopt when
// neither is known.
std::optional<std::string> homeDirectory();

// This platform's per-user runtime directory for the main application (see
// macRuntimeDirectoryFor, linuxRuntimeDirectoryFor); nullopt without a home.
std::optional<std::string> runtimeDirectory();

// Creates `path` with every missing parent, each new one with mode 0700 (the
// main application's working files are the user's alone). Existing directories
// are left as they are; an existing `path` is success. The Error's message() is
// the platform's description of the failure, naming the path that failed.
[[nodiscard]] Status createDirectories(const std::string& path);

// chdir(2).
[[nodiscard]] Status changeDirectory(const std::string& path);

// Replaces the process image with `executable`, `arguments` as its argument
// vector and the current environment. Returns only on failure, with its Error.
[[nodiscard]] Error replaceProcess(const std::string& executable,
                                   const std::vector<std::string>& arguments);

}  // namespace velto::launcher
