// The log function shared by the menu-bar agent and the helper daemon: one
// timestamped line per call, appended whole to a file and echoed to standard
// output. Every function here may be called from any thread at any time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace velto {

// A log sink as handed to code that should run without a real log file.
using LogFunction = std::function<void(std::string_view message)>;

// "2026-01-31T08:05:09Z": UTC, whole seconds, zone letter Z.
std::string logTimestamp(std::chrono::system_clock::time_point when);

// "[" + timestamp + "] " + message + "\n"; the message is neither escaped nor trimmed.
std::string formatLogLine(std::string_view message, std::chrono::system_clock::time_point when);

// Who may read a log file that the log function creates: its owner alone, unless
// a program says otherwise (the helper's log, mode 0640, is also readable by its
// group: the creating root process's group, wheel on macOS and root on Linux).
inline constexpr mode_t kPrivateLogMode = 0600;

// Appends one line for `message` to the file at `path`, creating it with `mode`
// when missing, then writes the same line to standard output. Each line goes out
// in a single write on an O_APPEND descriptor, so lines from concurrent writers
// (threads or processes) never overlap or overwrite each other. A symbolic link
// at `path` is never followed: whoever planted it would choose which file gets
// appended to. Never fails: a file that cannot be opened just misses the line.
void appendLogLine(const std::string& path, std::string_view message,
                   mode_t mode = kPrivateLogMode);

// A LogFunction that appends to `path`.
LogFunction fileLogger(std::string path, mode_t mode = kPrivateLogMode);

// `text` from a peer, made safe to put inside one log line: the control
// characters U+0000-U+001F and U+007F become \n, \r, \t or \u00XX, so that the
// peer cannot end the line and forge the next one. Every other byte stays as it is.
std::string escapeControlCharacters(std::string_view text);

}  // namespace velto
