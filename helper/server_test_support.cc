#include "helper/server_test_support.h"

#include <errno.h>
#include <grp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/io.h"

namespace velto::testing {

TempSocketDir::TempSocketDir() {
  char pattern[] = "/tmp/helper-server-test-XXXXXX";
  if (mkdtemp(pattern) != nullptr) {
    dir_ = pattern;
    chmod(dir_.c_str(), 0755);  // so a client running as another user can reach it
  }
  socketPath_ = dir_ + "/helper.sock";
}

TempSocketDir::~TempSocketDir() {
  unlink(socketPath_.c_str());
  if (!dir_.empty()) rmdir(dir_.c_str());
}

UniqueFd connectTo(const std::string& path) {
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (!fd || connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return UniqueFd();
  }
  return fd;
}

std::string readToEnd(int fd) {
  std::string data;
  char buffer[65536];
  ssize_t n;
  while ((n = readRetrying(fd, buffer, sizeof buffer)) > 0) data.append(buffer, n);
  return data;
}

std::string roundTrip(const std::string& path, const std::vector<std::string>& chunks) {
  UniqueFd fd = connectTo(path);
  if (!fd) return "connect failed: " + errnoText(errno);
  for (const std::string& chunk : chunks) {
    // A refused client is answered before its request is read, and may find the
    // connection closed for sending; its answer is still there to read.
    if (!sendAll(fd.get(), chunk)) break;
  }
  shutdown(fd.get(), SHUT_WR);
  return readToEnd(fd.get());
}

UserClient startClientAs(uid_t uid, gid_t gid, const std::string& path,
                         std::string_view request, const std::vector<gid_t>& groups) {
  int ends[2];
  UserClient client;
  if (pipe(ends) != 0) return client;
  client.pid = fork();
  if (client.pid == 0) {
    // Child: only system calls from here on.
    close(ends[0]);
    if (setgroups(groups.size(), groups.data()) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(3);
    UniqueFd fd = connectTo(path);
    if (!fd) _exit(4);
    sendAll(fd.get(), request);  // may fail when the daemon answers unread
    shutdown(fd.get(), SHUT_WR);
    std::string response = readToEnd(fd.get());
    writeAll(ends[1], response);
    _exit(0);
  }
  close(ends[1]);
  client.responsePipe.reset(ends[0]);
  return client;
}

std::string finishUserClient(UserClient& client) {
  if (client.pid <= 0) return "client failed: fork";
  std::string response = readToEnd(client.responsePipe.get());
  int status = 0;
  while (waitpid(client.pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return "client failed: status " + std::to_string(status);
  }
  return response;
}

}  // namespace velto::testing
