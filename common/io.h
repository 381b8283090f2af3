// Small POSIX I/O helpers shared by the programs: complete writes, reads that
// retry interrupted calls, descriptor flags, Unix-domain socket addresses. Every
// function may be called from any thread; failures follow common/result.h.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "common/unique_fd.h"

namespace velto {

// The send(2) flag that makes writing to a peer that has gone away fail with
// EPIPE instead of raising SIGPIPE, where the platform has one (0 elsewhere;
// disableSigpipe() covers those platforms per socket).
#ifdef MSG_NOSIGNAL
inline constexpr int kSendNoSignal = MSG_NOSIGNAL;
#else
inline constexpr int kSendNoSignal = 0;
#endif

// Writes all of `data`, continuing short writes and retrying EINTR.
[[nodiscard]] Status writeAll(int fd, std::string_view data);

// Like writeAll, for a connected socket: a peer that has gone away is an error
// (EPIPE) instead of SIGPIPE, where the platform offers a per-call flag.
[[nodiscard]] Status sendAll(int fd, std::string_view data);

// Like sendAll, for a socket whose sends do not block (O_NONBLOCK, or
// MSG_DONTWAIT among `flags`): when the peer takes nothing, waits for room until
// `stallDeadline()`, asked afresh at each stall. A stall past its deadline is an
// Error of kind kTimedOut; a failed send or wait carries its errno.
using DeadlineFunction = std::function<std::chrono::steady_clock::time_point()>;
[[nodiscard]] Status sendAllWaiting(int fd, std::string_view data, int flags,
                                    const DeadlineFunction& stallDeadline);

// Marks a socket so that writing to a closed peer never raises SIGPIPE, where the
// platform offers a per-socket option; succeeds at once elsewhere.
[[nodiscard]] Status disableSigpipe(int fd);

// Fills `address` for a Unix-domain socket at `path`: zeroed, family AF_UNIX, the
// path copied with its terminating NUL. Fails with ENAMETOOLONG, leaving only the
// family set, when the path with its NUL does not fit the platform's path field.
[[nodiscard]] Status fillUnixAddress(std::string_view path, sockaddr_un* address);

// read(2) that retries EINTR: the count read, 0 at end of file.
[[nodiscard]] Result<size_t> readRetrying(int fd, void* buffer, size_t size);

// Sets FD_CLOEXEC on a descriptor.
[[nodiscard]] Status setCloseOnExec(int fd);

// Adds O_NONBLOCK to a descriptor's status flags, keeping the others.
[[nodiscard]] Status setNonBlocking(int fd);

struct Pipe {
  UniqueFd readEnd;
  UniqueFd writeEnd;
};

// A pipe whose two ends are closed on exec (atomically where pipe2 exists), so
// that a spawned program gets only the copies it is handed.
[[nodiscard]] Result<Pipe> makeCloseOnExecPipe();

// open(2) that retries EINTR; the Error's context is "open".
[[nodiscard]] Result<UniqueFd> openRetrying(const std::string& path, int flags, mode_t mode = 0);

// waitpid(2) that retries EINTR: the child's status, or nothing when `options`
// hold WNOHANG and the child is still running. The Error's context is "waitpid".
[[nodiscard]] Result<std::optional<int>> waitForChild(pid_t pid, int options = 0);

// Creates the directory `path` and each missing parent with mode 0700 (less the
// umask); what exists is left as it is. An existing directory (or a link to one)
// is success; anything else in the way fails, with `path` as the Error's context
// and EEXIST when `path` itself is taken by something that is not a directory.
[[nodiscard]] Status createDirectories(const std::string& path);

// The poll(2) time-out, in milliseconds, that ends at `deadline`: rounded up so
// that a wake-up never comes early, 0 once the deadline has passed, and at most
// a minute (poll takes an int; a caller waits for a far deadline in steps).
int pollTimeoutUntil(std::chrono::steady_clock::time_point deadline);

// Waits until `fd` is ready for `events` (poll(2) bits) or `deadline` passes,
// retrying EINTR: true when ready, false on time-out. A negative `fd` is never
// ready.
[[nodiscard]] Result<bool> waitUntilReady(int fd, short events,
                                          std::chrono::steady_clock::time_point deadline);

// Whether `fd` is ready for `events` at this moment, without waiting. A negative
// `fd` is never ready.
[[nodiscard]] Result<bool> readyNow(int fd, short events);

}  // namespace velto
