// The stand-in's bridge socket on POSIX systems. Event-loop thread only.
#include "tools/standin_bridge.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/bridge_wire.h"
#include "common/io.h"
#include "common/peer_credentials.h"
#include "common/private_directory.h"
#include "common/unix_socket.h"

namespace velto::standin {

std::optional<std::string> bridgeSocketPath() {
  if (const char* fromEnv = getenv("VELTOVPN_MENUBAR_SOCKET")) return fromEnv;
  const std::optional<std::string>& directory = privateDirectory().path;
  if (!directory) return std::nullopt;
  return *directory + std::string(kBridgeSocketFileName);
}

BridgeServer::BridgeServer(std::string path, UniqueFd listener)
    : path_(std::move(path)), listener_(std::move(listener)) {}

BridgeServer::~BridgeServer() { close(); }

// An agent never sends a line near the splitter's bound; a longer one is dropped.
BridgeServer::Client::Client(UniqueFd fd)
    : socket(std::move(fd)),
      lines([this](std::string_view line) { ready.emplace_back(line); }, [](std::string_view) {}) {}

Result<std::unique_ptr<BridgeServer>> BridgeServer::listenAt(const std::string& path) {
  sockaddr_un address;
  if (path.empty() || !fillUnixAddress(path, &address).ok()) {
    return Error{"unusable socket path (empty or too long): \"" + path + "\""};
  }
  // A live socket belongs to a running main application, whose agent would be
  // stranded. The socket file takes its mode from the umask: no moment in which
  // another user could connect. The stand-in has no other thread to see the
  // umask change.
  Result<UniqueFd> listener = listenUnixExclusive(path, 5, 077);
  if (!listener) {
    const Error& failed = listener.error();
    if (failed.kind == ErrorKind::kTaken) {
      return Error{"another main application already serves " + path, 0, ErrorKind::kTaken};
    }
    return failed;
  }
  return std::unique_ptr<BridgeServer>(new BridgeServer(path, std::move(*listener)));
}

std::vector<int> BridgeServer::clientFds() const {
  std::vector<int> fds;
  for (const auto& [fd, client] : clients_) fds.push_back(fd);
  return fds;
}

Result<int> BridgeServer::acceptClient() {
  if (!listener_) return Error{"accept: not listening", EBADF};
  Result<UniqueFd> accepted = acceptConnection(listener_.get());
  if (!accepted) return accepted.error();
  UniqueFd client = std::move(*accepted);
  const int fd = client.get();
  // Root can connect whatever the socket file's mode; only this user's agent
  // may see the state or send commands.
  if (Result<PeerCredentials> owner = peerCredentials(fd); !owner || owner->uid != ::geteuid()) {
    return Error{owner ? "agent of uid " + std::to_string(owner->uid) + " refused: not this user"
                       : "agent refused: its owner cannot be told: " + owner.error().reason(),
                 0, ErrorKind::kRefused};
  }
  // Only guards against a write raising SIGPIPE, which the stand-in ignores.
  (void)disableSigpipe(fd);
  clients_[fd] = std::make_unique<Client>(std::move(client));
  return fd;
}

bool BridgeServer::readFrom(int fd, std::vector<std::string>& lines) {
  auto client = clients_.find(fd);
  if (client == clients_.end()) return false;
  char buffer[4096];
  Result<size_t> n = readLines(fd, client->second->lines, buffer, sizeof buffer);
  std::vector<std::string>& ready = client->second->ready;
  lines.insert(lines.end(), std::make_move_iterator(ready.begin()),
               std::make_move_iterator(ready.end()));
  ready.clear();
  if (!n.ok() || *n == 0) {
    clients_.erase(client);
    return false;
  }
  return true;
}

void BridgeServer::sendTo(int fd, const std::string& line) {
  auto client = clients_.find(fd);
  // A failed send shows up as end of stream on the next read of that agent.
  if (client != clients_.end()) (void)sendAll(fd, line);
}

void BridgeServer::broadcast(const std::string& line) {
  // As in sendTo, a failed send shows up on the next read.
  for (auto& [fd, client] : clients_) (void)sendAll(fd, line);
}

void BridgeServer::close() {
  clients_.clear();
  if (listener_) {
    listener_.reset();
    ::unlink(path_.c_str());
  }
}

}  // namespace velto::standin
