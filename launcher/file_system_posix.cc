// File-system and process operations of the hand-off that are plain POSIX on
// every platform. Main thread only.
#include <errno.h>
#include <limits.h>
#include <unistd.h>

#include "launcher/file_system.h"

namespace velto::launcher {

std::string currentDirectory() {
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr) return {};
  return buffer;
}

Status changeDirectory(const std::string& path) {
  if (::chdir(path.c_str()) != 0) return errnoError("chdir");
  return {};
}

Error replaceProcess(const std::string& executable, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  ::execv(executable.c_str(), argv.data());
  return errnoError("execv");
}

}  // namespace velto::launcher
