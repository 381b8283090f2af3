// POSIX system log on standard error and posix_spawn process runner. Any thread.
#include <errno.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/io.h"
#include "launcher/system_services.h"

extern char** environ;

namespace velto::launcher {

std::string formatSystemLogLine(const std::tm& localTime, std::string_view programName, int pid,
                                std::string_view message) {
  char stamp[32];
  size_t length = std::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &localTime);
  std::string line(stamp, length);
  line.append(" ").append(programName).append("[").append(std::to_string(pid)).append("]: ");
  line.append(message).append("\n");
  return line;
}

void StderrSystemLog::log(std::string_view message) {
  std::time_t now = std::time(nullptr);
  std::tm localTime{};
  ::localtime_r(&now, &localTime);
  // A log line that cannot be written is lost; logging never stops the program.
  (void)writeAll(STDERR_FILENO, formatSystemLogLine(localTime, programName_, ::getpid(), message));
}

std::optional<std::string> SpawnProcessRunner::runAndWait(
    const std::string& executable, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(executable.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  int err = ::posix_spawn(&pid, executable.c_str(), nullptr, nullptr, argv.data(), environ);
  if (err != 0) return errnoText(err);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return std::nullopt;
}

}  // namespace velto::launcher
