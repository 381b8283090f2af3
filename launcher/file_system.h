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

// The user's home directory: $HOME when set and not empty, else the password
// database entry of the real user id; nullopt when neither is known.
std::optional<std::string> homeDirectory();

// Creates `path` with every missing parent (mode 0777 before the umask). An
// existing directory is success. On failure returns the error's full description:
// domain, code, message and the path that failed.
std::optional<std::string> createDirectories(const std::string& path);

// chdir(2); false with errno set on failure.
bool changeDirectory(const std::string& path);

// Replaces the process image with `executable`, `arguments` as its argument
// vector and the current environment. Returns only on failure, with the errno
// value (captured before anything else could change it).
int replaceProcess(const std::string& executable, const std::vector<std::string>& arguments);

}  // namespace velto::launcher
