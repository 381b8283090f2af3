// Socket, log and icon paths of the agent. Any thread.
#include "menubar/paths.h"

#include <sys/un.h>

#include "common/no_destructor.h"

namespace velto {

namespace {

// The directory part of `path`: everything before its last "/", with the
// separators before it removed ("/" for a top-level entry).
std::string parentOf(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  path.resize(slash);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path.empty() ? "/" : path;
}

}  // namespace

std::string defaultSocketPathFor(const ProcessInfo& process) {
  return process.temporaryDirectory() + "veltovpn-menubar.sock";
}

std::string socketPathFor(const ProcessInfo& process) {
  if (auto value = process.environmentValue("VELTOVPN_MENUBAR_SOCKET")) return *value;
  return defaultSocketPathFor(process);
}

std::string logPathFor(const ProcessInfo& process) {
  return process.temporaryDirectory() + "veltovpn-menubar.log";
}

std::string iconDirFor(const ProcessInfo& process) {
  auto value = process.environmentValue("VELTOVPN_MENUBAR_ICON_DIR");
  if (value && !value->empty()) return *value;
  auto executable = process.executablePath();
  if (!executable) return "";
  return joinPath(parentOf(parentOf(*executable)), "Resources/menubar");
}

std::string joinPath(std::string_view directory, std::string_view name) {
  if (directory.empty()) return std::string(name);
  while (directory.size() > 1 && directory.back() == '/') directory.remove_suffix(1);
  std::string path(directory);
  if (path != "/") path += '/';
  path += name;
  return path;
}

size_t maxSocketPathLength() {
  return sizeof(sockaddr_un::sun_path) - 1;
}

namespace agent {

const std::string& SOCKET_PATH() {
  static const NoDestructor<std::string> path(socketPathFor(systemProcessInfo()));
  return *path;
}

const std::string& LOG_PATH() {
  static const NoDestructor<std::string> path(logPathFor(systemProcessInfo()));
  return *path;
}

}  // namespace agent

}  // namespace velto
