// The stand-in's end of the menu-bar bridge: a listening Unix-domain stream socket
// and the agents connected to it, one JSON object per line each way.
// Single-threaded: the stand-in's event loop owns it and polls its descriptors.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/line_splitter.h"
#include "common/result.h"
#include "common/unique_fd.h"

namespace velto::standin {

// Where the bridge listens: `VELTOVPN_MENUBAR_SOCKET` when set (even empty),
// else the private directory + kBridgeSocketFileName (the agent's default);
// nothing when there is no private directory.
std::optional<std::string> bridgeSocketPath();

class BridgeServer {
 public:
  // Binds and listens at `path`, the socket file readable and writable by this
  // user alone. Refuses when another process is already serving there; a stale
  // socket file is replaced.
  [[nodiscard]] static Result<std::unique_ptr<BridgeServer>> listenAt(const std::string& path);
  ~BridgeServer();

  const std::string& path() const { return path_; }
  int listenFd() const { return listener_.get(); }
  std::vector<int> clientFds() const;

  // Accepts one waiting agent; returns its descriptor. An agent of another user
  // is closed at once: an Error of kind kRefused that says why.
  [[nodiscard]] Result<int> acceptClient();

  // Reads what the agent at `fd` sent and appends each complete line to `lines`.
  // Returns false once that agent has gone; its descriptor is then closed.
  bool readFrom(int fd, std::vector<std::string>& lines);

  void sendTo(int fd, const std::string& line);
  void broadcast(const std::string& line);

  // Closes every connection and the listening socket and removes the socket file.
  void close();

 private:
  BridgeServer(std::string path, UniqueFd listener);

  std::string path_;
  UniqueFd listener_;
  struct Client {
    UniqueFd socket;
    std::vector<std::string> ready;  // lines cut by `lines`, not yet handed out
    LineSplitter lines;
    explicit Client(UniqueFd fd);
  };
  std::map<int, std::unique_ptr<Client>> clients_;  // by descriptor
};

}  // namespace velto::standin
