// Test support for the helper server tests: a temporary socket directory, raw
// clients and a forked client running as another user. Test thread only.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "common/unique_fd.h"

namespace velto::testing {

// A fresh directory under /tmp that any user may enter, removed with its contents'
// socket file when the object goes.
class TempSocketDir {
 public:
  TempSocketDir();
  ~TempSocketDir();
  const std::string& socketPath() const { return socketPath_; }

 private:
  std::string dir_;
  std::string socketPath_;
};

// A close-on-exec client socket connected to `path`; invalid on failure.
UniqueFd connectTo(const std::string& path);

// Reads `fd` until end of stream (or a reset, as after a peer's early close).
std::string readToEnd(int fd);

// Sends `chunks` one write each (as far as the server takes them), ends the
// sending side and reads the response.
std::string roundTrip(const std::string& path, const std::vector<std::string>& chunks);

// Forks a client that switches to `uid`/`gid` with the supplementary `groups`, connects
// to `path`, sends `request`, ends its sending side and reads to the end. Returns
// the client's pid; its response is read with finishUserClient. REQUIRES: root,
// no other threads running.
struct UserClient {
  pid_t pid = -1;
  UniqueFd responsePipe;
};
UserClient startClientAs(uid_t uid, gid_t gid, const std::string& path, std::string_view request,
                         const std::vector<gid_t>& groups = {});
// Waits for the forked client; returns its response, or "client failed" text.
std::string finishUserClient(UserClient& client);

}  // namespace velto::testing
