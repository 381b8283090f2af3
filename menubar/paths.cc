// Socket, log and icon paths of the agent. Any thread.
#include "menubar/paths.h"

#include <sys/un.h>

#include "common/bridge_wire.h"
#include "common/no_destructor.h"

namespace velto {

std::string defaultSocketPathFor(const ProcessInfo& process) {
  return process.temporaryDirectory() + std::string(kBridgeSocketFileName);
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
  // Without its own path the agent only loses its bundled icons, which the
  // caller handles; the reason is not worth a line of its own.
  Result<std::string> executable = process.executablePath();
  if (!executable) return "";
  return joinPath(parentPath(parentPath(*executable)), "Resources/menubar");
}

size_t maxSocketPathLength() { return sizeof(sockaddr_un::sun_path) - 1; }

namespace agent {

const std::string& bridgeSocketPath() {
  static const NoDestructor<std::string> path(socketPathFor(systemProcessInfo()));
  return *path;
}

const std::string& logPath() {
  static const NoDestructor<std::string> path(logPathFor(systemProcessInfo()));
  return *path;
}

}  // namespace agent

}  // namespace velto
