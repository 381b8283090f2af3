// The file-system operations of the hand-off, kept behind plain functions so the
// start-up sequence reads as one list and each platform can supply its own
// variant (file_system_posix.cc, file_system_paths_<platform>). Main thread only:
// some change process state.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace velto::launcher {

// The working directory; empty when it cannot be determined (e.g. removed).
std::string currentDirectory();

// `absolutePath` with every symbolic link resolved. When the path does not exist,
// its parent directory is resolved and the last component kept; when that fails
// too, the path comes back unchanged.
std::string resolveSymlinks(const std::string& absolutePath);

// The running program's own file with every symbolic link resolved, as the
// system reports it (/proc/self/exe, _NSGetExecutablePath); nothing where the
// system cannot tell. Unlike argv[0], whoever starts the launcher cannot choose it.
std::optional<std::string> ownExecutablePath();

// The user's home directory: $HOME when set and not empty, else the password
// database entry of the real user id (NSHomeDirectory() on macOS); nullopt when
// neither is known.
std::optional<std::string> homeDirectory();

// This platform's per-user runtime directory for the main application (see
// macRuntimeDirectoryFor, linuxRuntimeDirectoryFor); nullopt without a home.
std::optional<std::string> runtimeDirectory();

// Creates `path` with every missing parent, each new one with mode 0700 (the
// main application's working files are the user's alone). Existing directories
// are left as they are; an existing `path` is success. On failure returns the
// platform's description of the error, naming the path that failed.
std::optional<std::string> createDirectories(const std::string& path);

// chdir(2); false with errno set on failure.
bool changeDirectory(const std::string& path);

// Replaces the process image with `executable`, `arguments` as its argument
// vector and the current environment. Returns only on failure, with the errno
// value (captured before anything else could change it).
int replaceProcess(const std::string& executable, const std::vector<std::string>& arguments);

}  // namespace velto::launcher
