// Host process paths and their match patterns. Any thread.
#include "launcher/host_processes.h"

namespace velto::launcher {

std::vector<std::string> hostProcessPaths(std::string_view bundlePath) {
  std::string bundle(bundlePath);
  return {
      bundle + "/Contents/MacOS/veltoVpn-bin",
      bundle + "/Contents/MacOS/extensions/veltoExtension/bin/index-darwin",
      bundle + "/Contents/MacOS/veltovpn-menubar",
  };
}

std::string escapeExtendedRegex(std::string_view text) {
  constexpr std::string_view kSpecial = "\\.[]()*+?{}|^$";
  std::string escaped;
  escaped.reserve(text.size() * 2);
  for (char c : text) {
    if (kSpecial.find(c) != std::string_view::npos) escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::string hostProcessPattern(std::string_view executablePath) {
  return "^" + escapeExtendedRegex(executablePath) + "( |$)";
}

}  // namespace velto::launcher
