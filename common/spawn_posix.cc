// posix_spawn set-up on POSIX systems. One object per spawn, on one thread.
#include "common/spawn.h"

namespace velto {

SpawnSetup::SpawnSetup() {
  const int actionsError = posix_spawn_file_actions_init(&actions_);
  actionsMade_ = actionsError == 0;
  check(actionsError, "posix_spawn_file_actions_init");
  const int attributesError = posix_spawnattr_init(&attributes_);
  attributesMade_ = attributesError == 0;
  check(attributesError, "posix_spawnattr_init");
}

SpawnSetup::~SpawnSetup() {
  if (actionsMade_) posix_spawn_file_actions_destroy(&actions_);
  if (attributesMade_) posix_spawnattr_destroy(&attributes_);
}

void SpawnSetup::check(int err, const char* call) {
  if (err != 0 && !failure_) failure_ = Error{call, err};
}

void SpawnSetup::duplicate(int fd, int target) {
  check(posix_spawn_file_actions_adddup2(&actions_, fd, target),
        "posix_spawn_file_actions_adddup2");
}

void SpawnSetup::open(int target, const char* path, int flags, mode_t mode) {
  check(posix_spawn_file_actions_addopen(&actions_, target, path, flags, mode),
        "posix_spawn_file_actions_addopen");
}

void SpawnSetup::defaultSignals(const sigset_t& signals) {
  check(posix_spawnattr_setsigdefault(&attributes_, &signals), "posix_spawnattr_setsigdefault");
  flags_ |= POSIX_SPAWN_SETSIGDEF;
}

void SpawnSetup::signalMask(const sigset_t& mask) {
  check(posix_spawnattr_setsigmask(&attributes_, &mask), "posix_spawnattr_setsigmask");
  flags_ |= POSIX_SPAWN_SETSIGMASK;
}

void SpawnSetup::ownProcessGroup() {
  check(posix_spawnattr_setpgroup(&attributes_, 0), "posix_spawnattr_setpgroup");
  flags_ |= POSIX_SPAWN_SETPGROUP;
}

Status SpawnSetup::ready() {
  // The flags go in once, after the attributes they switch on.
  if (flags_ != 0) {
    check(posix_spawnattr_setflags(&attributes_, flags_), "posix_spawnattr_setflags");
    flags_ = 0;
  }
  if (failure_) return *failure_;
  return {};
}

Result<pid_t> SpawnSetup::spawn(const std::string& program, char* const argv[],
                                char* const envp[]) {
  pid_t pid = -1;
  const int err = ::posix_spawn(&pid, program.c_str(), &actions_, &attributes_, argv, envp);
  if (err != 0) return Error{"posix_spawn", err};
  return pid;
}

}  // namespace velto
