// Starting a program with posix_spawn: what the child gets (descriptors, signal
// dispositions and mask, a process group) gathered first, every set-up call's
// result kept. One object per spawn, on one thread.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/types.h>

#include <optional>
#include <string>

#include "common/result.h"

namespace velto {

class SpawnSetup {
 public:
  SpawnSetup();
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup();

  // The child's descriptor `target` is a copy of this process's `fd`.
  void duplicate(int fd, int target);
  // The child's descriptor `target` is `path`, opened with `flags` (and `mode`
  // when it creates the file).
  void open(int target, const char* path, int flags, mode_t mode = 0);
  // The child starts with these signals at their default action, ignored ones
  // included (ignoring survives exec).
  void defaultSignals(const sigset_t& signals);
  // The child starts with this signal mask.
  void signalMask(const sigset_t& mask);
  // The child leads a process group of its own, so that a signal to the group
  // reaches everything it starts.
  void ownProcessGroup();

  // Success when every set-up call so far succeeded; else the first that failed,
  // its context the call's name ("posix_spawnattr_setsigmask").
  [[nodiscard]] Status ready();

  // Starts `program` (a path, not searched for) with `argv` and `envp`, both
  // null-terminated: the child's pid, or an Error with the context "posix_spawn".
  // REQUIRES: ready() succeeded.
  [[nodiscard]] Result<pid_t> spawn(const std::string& program, char* const argv[],
                                    char* const envp[]);

 private:
  // Keeps the first failure; what the later calls do no longer matters.
  void check(int err, const char* call);

  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
  bool actionsMade_ = false;
  bool attributesMade_ = false;
  short flags_ = 0;
  std::optional<Error> failure_;
};

}  // namespace velto
