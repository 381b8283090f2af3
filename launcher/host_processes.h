// The bundle's own processes that must be stopped before an update is installed,
// and how their paths are turned into `pkill -f` patterns. Any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velto::launcher {

// The main application binary, its extension and the menu-bar agent, in the
// order they are signalled.
std::vector<std::string> hostProcessPaths(std::string_view bundlePath);

// `text` with every character that is special in an extended regular expression
// preceded by a backslash, so the pattern matches exactly that text. Bundle paths
// such as "/Applications/Velto (2).app" would otherwise form groups or match
// other characters at the dots.
std::string escapeExtendedRegex(std::string_view text);

// The `pkill -f` pattern for the process started from `executablePath`: the
// escaped path at the start of the command line, followed by its end or by the
// space before the first argument. A process that merely names the path in its
// arguments ("less <path>.log", "tail -f <path>") is left alone.
std::string hostProcessPattern(std::string_view executablePath);

}  // namespace velto::launcher
