// A descriptor that tells when a child process has exited, so that the script
// runner can wait on the child and on its output pipe in one poll. Any thread.
#pragma once

#include <sys/types.h>

#include "common/result.h"
#include "common/unique_fd.h"

namespace velto {

// A close-on-exec descriptor that becomes readable (POLLIN) once the child `pid`
// of this process has exited. The child is not reaped: waitpid stays the caller's.
[[nodiscard]] Result<UniqueFd> watchChildExit(pid_t pid);

}  // namespace velto
