// An owned file descriptor that is closed when it goes out of scope.
// Not thread-safe by itself: one owner at a time, moved between threads by value.
#pragma once

#include <unistd.h>

#include "common/scoped_handle.h"

namespace velto {

struct FdTraits {
  using Handle = int;
  static constexpr int empty() { return -1; }
  // close() is not retried on EINTR: on Linux and macOS the descriptor is
  // released either way, and its result says nothing the owner could act on.
  static void free(int fd) { (void)::close(fd); }
};

using UniqueFd = ScopedHandle<FdTraits>;

}  // namespace velto
