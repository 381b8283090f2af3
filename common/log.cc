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
  time_t seconds = std::chrono::system_clock::to_time_t(when);
  struct tm utc = {};
  gmtime_r(&seconds, &utc);
  char buffer[32] = {};
  size_t n = strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return std::string(buffer, n);
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

void appendLogLine(const std::string& path, std::string_view message) {
  const std::string line = formatLogLine(message, std::chrono::system_clock::now());
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) {
    UniqueFd file(fd);
    // One write call per line: with O_APPEND the kernel places it at the end
    // atomically. Only a short write (disk full) needs the rest sent after it.
    writeAll(file.get(), line);
  }
  writeAll(STDOUT_FILENO, line);
}

LogFunction fileLogger(std::string path) {
  return [path = std::move(path)](std::string_view message) { appendLogLine(path, message); };
}

}  // namespace velto
