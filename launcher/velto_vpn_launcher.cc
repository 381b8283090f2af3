// The launcher's start-up sequence. Runs on the main thread before anything else;
// hand-off mode touches nothing of update mode, so no UI library is brought up
// on the path every application start takes.
#include "launcher/velto_vpn_launcher.h"

#include <errno.h>
#include <stdio.h>

#include "common/paths.h"
#include "launcher/file_system.h"
#include "launcher/handoff.h"

namespace velto::launcher {

namespace {

// "[launcher] chdir: No such file or directory", as perror would print it.
void reportFailure(const Error& error) {
  const std::string line = "[launcher] " + error.message() + "\n";
  fputs(line.c_str(), stderr);
}

}  // namespace

int VeltoVpnLauncher::main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + (argc > 0 ? argc : 0));
  if (isUpdateMode(args)) return runUpdateMode();
  return handOff(args);
}

int handOff(const std::vector<std::string>& args) {
  // The system's word on where the launcher lies: started through PATH, argv[0]
  // is a bare name that the working directory would turn into someone else's
  // file. argv[0] only serves where the system gives nothing; it is then fixed
  // before the chdir below, as a relative one names a file relative to where
  // the launcher was started.
  Result<std::string> ownPath = resolvedOwnExecutablePath();
  std::string launcherPath =
      ownPath ? *ownPath : resolveSymlinks(absoluteAgainst(currentDirectory(), launcherName(args)));
  std::string executableDirectory = parentPath(launcherPath);
  std::string mainBinary = joinPath(executableDirectory, kMainBinaryName);

  std::optional<std::string> runtime = runtimeDirectory();
  if (!runtime) {
    fputs("[launcher] create runtime dir failed: no home directory for this user\n", stderr);
    return kExitRuntimeDirectory;
  }
  if (Status created = createDirectories(*runtime); !created) {
    std::string line = "[launcher] create runtime dir failed: " + created.error().message() + "\n";
    fputs(line.c_str(), stderr);
    return kExitRuntimeDirectory;
  }
  if (Status changed = changeDirectory(*runtime); !changed) {
    reportFailure(changed.error());
    return kExitChangeDirectory;
  }
  reportFailure(
      replaceProcess(mainBinary, forwardedArguments(mainBinary, executableDirectory, args)));
  return kExitStartMainBinary;
}

}  // namespace velto::launcher
