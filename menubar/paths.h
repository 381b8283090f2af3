// Where the agent finds its bridge socket, log file and icons. The agent::
// accessors are computed once per process, at first use; the functions named
// ...For(process) compute the same from a given ProcessInfo.
// Any thread.
#pragma once

#include <string>
#include <string_view>

#include "common/paths.h"  // joinPath, for the callers that build icon paths
#include "menubar/platform.h"

namespace velto {

// The private directory (ProcessInfo::temporaryDirectory) + kBridgeSocketFileName.
std::string defaultSocketPathFor(const ProcessInfo& process);
// VELTOVPN_MENUBAR_SOCKET when set (even to the empty string), else the default.
std::string socketPathFor(const ProcessInfo& process);
// The private directory (ProcessInfo::temporaryDirectory) + "veltovpn-menubar.log".
std::string logPathFor(const ProcessInfo& process);
// VELTOVPN_MENUBAR_ICON_DIR when set and non-empty; else the directory
// Resources/menubar beside the directory that holds the executable; else "".
std::string iconDirFor(const ProcessInfo& process);

// The longest socket path that fits a Unix-domain socket address, in bytes
// (the address's path field less its terminating NUL).
size_t maxSocketPathLength();

// The agent's process-wide paths: socketPathFor and logPathFor of this
// process, each computed once, at first use.
namespace agent {
const std::string& bridgeSocketPath();
const std::string& logPath();
}  // namespace agent

}  // namespace velto
