// ownExecutablePath through dyld's _NSGetExecutablePath. Any thread.
#include <errno.h>
#include <mach-o/dyld.h>
#include <stdint.h>

#include <vector>

#include "common/paths.h"

namespace velto {

Result<std::string> ownExecutablePath() {
  uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);  // asks for the size it needs
  std::vector<char> buffer(size + 1, '\0');
  if (size == 0 || _NSGetExecutablePath(buffer.data(), &size) != 0) {
    return Error{"_NSGetExecutablePath", ENAMETOOLONG};
  }
  std::string path(buffer.data());
  if (path.empty() || path.front() != '/')
    return Error{"_NSGetExecutablePath: not absolute: " + path};
  return path;
}

}  // namespace velto
