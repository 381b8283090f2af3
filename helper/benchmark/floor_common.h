/* What both floor servers share: the listening socket and the one log line per
 * request (open with O_APPEND, write, close, then the same line on standard
 * output), done with as few system calls as the daemon's required work allows.
 * Single-threaded. */
#ifndef VELTO_HELPER_BENCHMARK_FLOOR_COMMON_H
#define VELTO_HELPER_BENCHMARK_FLOOR_COMMON_H

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

static int floor_listen(const char* path) {
  struct sockaddr_un address;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  unlink(path);
  if (bind(fd, (struct sockaddr*)&address, sizeof address) != 0 || listen(fd, 5) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

/* The peer check's system call: the daemon's root peers need no more. */
static int floor_peer_is_root(int fd) {
  struct ucred credentials;
  socklen_t size = sizeof credentials;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 && credentials.uid == 0;
}

static void floor_log(const char* log_path, const char* message) {
  char line[512];
  time_t now = time(NULL);
  struct tm utc;
  size_t n;
  int fd;
  gmtime_r(&now, &utc);
  n = strftime(line, sizeof line, "[%Y-%m-%dT%H:%M:%SZ] ", &utc);
  n += (size_t)snprintf(line + n, sizeof line - n, "%s\n", message);
  fd = open(log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) {
    if (write(fd, line, n) < 0) perror("log");
    close(fd);
  }
  if (write(STDOUT_FILENO, line, n) < 0) perror("stdout");
}

static void floor_reply(int fd, const char* text, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, text, size, MSG_NOSIGNAL);
    if (n <= 0) return;
    text += n;
    size -= (size_t)n;
  }
}

#endif
