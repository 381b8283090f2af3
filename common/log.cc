// The shared log function. Any thread; no locks: the kernel's O_APPEND keeps
// concurrent lines whole.
#include "common/log.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include "common/io.h"
#include "common/unique_fd.h"

namespace velto {

std::string logTimestamp(std::chrono::system_clock::time_point when) {
  // Formatting the date is most of the cost of a log line, and lines come in
  // bursts within one second: each thread keeps the text of its last second.
  thread_local time_t cachedSecond = -1;
  thread_local char cached[32] = {};
  thread_local size_t cachedLength = 0;
  time_t seconds = std::chrono::system_clock::to_time_t(when);
  if (seconds != cachedSecond) {
    struct tm utc = {};
    gmtime_r(&seconds, &utc);
    cachedLength = strftime(cached, sizeof cached, "%Y-%m-%dT%H:%M:%SZ", &utc);
    cachedSecond = seconds;
  }
  return std::string(cached, cachedLength);
}

std::string formatLogLine(std::string_view message, std::chrono::system_clock::time_point when) {
  std::string line;
  line.reserve(message.size() + 24);
  line += '[';
  line += logTimestamp(when);
  line += "] ";
  line += message;
  line += '\n';
  return line;
}

void appendLogLine(const std::string& path, std::string_view message, mode_t mode) {
  const std::string line = formatLogLine(message, std::chrono::system_clock::now());
  if (Result<UniqueFd> file =
          openRetrying(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode)) {
    // One write call per line: with O_APPEND the kernel places it at the end
    // atomically. Only a short write (disk full) needs the rest sent after it.
    // A log that cannot be written has nowhere to report it; the copy on
    // standard output below is the fallback.
    (void)writeAll(file->get(), line);
  }
  // Standard output may be closed (a daemon under a service manager); nothing to do then.
  (void)writeAll(STDOUT_FILENO, line);
}

LogFunction fileLogger(std::string path, mode_t mode) {
  return [path = std::move(path), mode](std::string_view message) {
    appendLogLine(path, message, mode);
  };
}

std::string escapeControlCharacters(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) {
      escaped += c;
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else if (c == '\t') {
      escaped += "\\t";
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      escaped += "\\u00";
      escaped += kHex[byte >> 4];
      escaped += kHex[byte & 0xf];
    }
  }
  return escaped;
}

}  // namespace velto
