// The per-user private directory: where a program of this user keeps what no
// other local user may see or replace (the bridge socket, the agent's log). Each
// platform supplies privateDirectory() in a file of its own. Any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace velto {

struct PrivateDirectory {
  // The directory, ending in "/"; absent when none could be had.
  std::optional<std::string> path;
  // One line for each candidate that was passed over, saying why; for the log.
  std::vector<std::string> skipped;
};

// This process's private directory, looked for (and created where that is the
// platform's way) at the first call and then kept for the life of the process.
const PrivateDirectory& privateDirectory();

}  // namespace velto
