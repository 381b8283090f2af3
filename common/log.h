// The log function shared by the menu-bar agent and the helper daemon: one
// timestamped line per call, appended whole to a file and echoed to standard
// output. Every function here may be called from any thread at any time.
#pragma once

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

// Appends one line for `message` to the file at `path`, creating it when missing,
// then writes the same line to standard output. Each line goes out in a single
// write on an O_APPEND descriptor, so lines from concurrent writers (threads or
// processes) never overlap or overwrite each other. Never fails: a file that
// cannot be opened just misses the line.
void appendLogLine(const std::string& path, std::string_view message);

// A LogFunction that appends to `path`.
LogFunction fileLogger(std::string path);

}  // namespace velto
