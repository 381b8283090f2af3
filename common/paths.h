// File paths as strings: joining, the parent, and where the running program's
// own file lies. Pure string work except ownExecutablePath(). Any thread.
#pragma once

#include <string>
#include <string_view>

#include "common/result.h"

namespace velto {

// `path` without the slashes it ends in; "/" stays "/".
std::string_view withoutTrailingSlashes(std::string_view path);

// `name` under `directory`, with one "/" between them however many `directory`
// ends in; `name` alone when `directory` is empty.
std::string joinPath(std::string_view directory, std::string_view name);

// The directory part of `path`, trailing slashes ignored: everything before its
// last "/" without the slashes before it; "/" for a top-level entry or "/"
// itself, "." for a bare name.
std::string parentPath(std::string_view path);

// The running program's own file as the system reports it (/proc/self/exe,
// already free of links; _NSGetExecutablePath, possibly through links). Unlike
// argv[0], whoever starts the program cannot choose it.
[[nodiscard]] Result<std::string> ownExecutablePath();

}  // namespace velto
