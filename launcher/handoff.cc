// Pure start-up computations of the launcher. Any thread.
#include "launcher/handoff.h"

#include <algorithm>

#include "common/paths.h"

namespace velto::launcher {

namespace {

bool anyStartsWith(const std::vector<std::string>& list, std::string_view prefix) {
  return std::any_of(list.begin(), list.end(),
                     [&](const std::string& arg) { return arg.starts_with(prefix); });
}

}  // namespace

bool isUpdateMode(const std::vector<std::string>& args) {
  return std::find(args.begin(), args.end(), kUpdateModeSwitch) != args.end();
}

std::string_view launcherName(const std::vector<std::string>& args) {
  if (args.empty() || args.front().empty()) return kFallbackLauncherName;
  return args.front();
}

std::string absoluteAgainst(std::string_view startDirectory, std::string_view path) {
  if (path.starts_with('/')) return std::string(withoutTrailingSlashes(path));
  // An unknown start (empty) counts as the root, never as "relative to wherever".
  return joinPath(startDirectory.empty() ? std::string_view("/") : startDirectory,
                  withoutTrailingSlashes(path));
}

std::string macRuntimeDirectoryFor(std::string_view home) {
  std::string path(home);
  for (std::string_view component : {"Library", "Application Support", "veltoVpn", "runtime"}) {
    path = joinPath(path, component);
  }
  return path;
}

std::string linuxRuntimeDirectoryFor(std::optional<std::string_view> xdgDataHome,
                                     std::string_view home) {
  std::string path = xdgDataHome && xdgDataHome->starts_with('/')
                         ? std::string(*xdgDataHome)
                         : joinPath(joinPath(home, ".local"), "share");
  return joinPath(joinPath(path, "veltovpn"), "runtime");
}

std::vector<std::string> forwardedArguments(std::string_view mainBinary,
                                            std::string_view executableDirectory,
                                            const std::vector<std::string>& args) {
  std::vector<std::string> forwarded;
  forwarded.reserve(args.size() + 2);
  forwarded.emplace_back(mainBinary);
  if (!args.empty()) forwarded.insert(forwarded.end(), args.begin() + 1, args.end());
  if (!anyStartsWith(forwarded, "--path=")) {
    forwarded.push_back(std::string("--path=").append(executableDirectory));
  }
  if (!anyStartsWith(forwarded, "--res-mode=")) forwarded.emplace_back("--res-mode=bundle");
  return forwarded;
}

}  // namespace velto::launcher
