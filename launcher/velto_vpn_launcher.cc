// The launcher's start-up sequence. Runs on the main thread before anything else;
// hand-off mode touches nothing of update mode, so no UI library is brought up
// on the path every application start takes.
#include "launcher/velto_vpn_launcher.h"

#include <errno.h>
#include <stdio.h>

#include "launcher/file_system.h"
#include "launcher/handoff.h"

namespace velto::launcher {

int VeltoVpnLauncher::main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + (argc > 0 ? argc : 0));
  if (isUpdateMode(args)) return runUpdateMode();
  return handOff(args);
}

int handOff(const std::vector<std::string>& args) {
  // Fixed before the chdir below: a relative argv[0] names a file relative to
  // where the launcher was started.
  std::string launcherPath =
      resolveSymlinks(absoluteAgainst(currentDirectory(), launcherName(args)));
  std::string executableDirectory = parentDirectory(launcherPath);
  std::string mainBinary = appendComponent(executableDirectory, kMainBinaryName);

  std::optional<std::string> home = homeDirectory();
  if (!home) {
    fputs("[launcher] create runtime dir failed: no home directory for this user\n", stderr);
    return kExitRuntimeDirectory;
  }
  std::string runtimeDirectory = runtimeDirectoryFor(*home);
  if (std::optional<std::string> error = createDirectories(runtimeDirectory)) {
    std::string line = "[launcher] create runtime dir failed: " + *error + "\n";
    fputs(line.c_str(), stderr);
    return kExitRuntimeDirectory;
  }
  if (!changeDirectory(runtimeDirectory)) {
    perror("[launcher] chdir");
    return kExitChangeDirectory;
  }
  errno = replaceProcess(mainBinary, forwardedArguments(mainBinary, executableDirectory, args));
  perror("[launcher] execv");
  return kExitStartMainBinary;
}

}  // namespace velto::launcher
