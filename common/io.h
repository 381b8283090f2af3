// Small POSIX I/O helpers shared by the programs: complete writes, reads that
// retry interrupted calls, errno as text. Every function may be called from any thread.
#pragma once

#include <sys/types.h>
#include <sys/un.h>

#include <string>
#include <string_view>

namespace velto {

// The message for an errno value, e.g. "No such file or directory".
std::string errnoText(int err);

// Writes all of `data`, continuing short writes and retrying EINTR.
// Returns false (with errno set) when the descriptor stops taking data.
bool writeAll(int fd, std::string_view data);

// Like writeAll, for a connected socket: a peer that has gone away yields false
// (EPIPE) instead of raising SIGPIPE, where the platform offers a per-call flag.
bool sendAll(int fd, std::string_view data);

// Marks a socket so that writing to a closed peer never raises SIGPIPE, where the
// platform offers a per-socket option; a no-op elsewhere.
void disableSigpipe(int fd);

// Fills `address` for a Unix-domain socket at `path`: zeroed, family AF_UNIX, the
// path copied with its terminating NUL. Returns false, leaving only the family
// set, when the path with its NUL does not fit the platform's path field.
bool fillUnixAddress(std::string_view path, sockaddr_un* address);

// read(2) that retries EINTR. Same result convention as read(2).
ssize_t readRetrying(int fd, void* buffer, size_t size);

// Sets FD_CLOEXEC on a descriptor. Returns false on failure.
bool setCloseOnExec(int fd);

}  // namespace velto
