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
  // A socket file that still takes connections belongs to a running main
  // application; taking it over would strand that one's agent.
  if (unixSocketAnswers(path)) return Error{"another main application already serves " + path};
  // A file left by an earlier run; missing is normal.
  (void)::unlink(path.c_str());
  // The socket file takes its mode from the umask: no moment in which another
  // user could connect. The stand-in has no other thread to see the umask change.
  Result<UniqueFd> listener = listenUnix(path, 5, 077);
  if (!listener) {
    const Error& failed = listener.error();
    if (failed.context == "listen") (void)::unlink(path.c_str());  // bound, so the file is ours
    return Error{failed.context == "bind" ? "bind(" + path + ")" : failed.context + "()",
                 failed.code};
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
  int fd;
  do {
    fd = ::accept(listener_.get(), nullptr, nullptr);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errnoError("accept");
  UniqueFd client(fd);
  // Root can connect whatever the socket file's mode; only this user's agent
  // may see the state or send commands.
  if (Result<PeerCredentials> owner = peerCredentials(fd); !owner || owner->uid != ::geteuid()) {
    return Error{owner ? "agent of uid " + std::to_string(owner->uid) + " refused: not this user"
                       : "agent refused: its owner cannot be told: " + owner.error().reason()};
  }
  // Both only guard against a child inheriting the agent or a write raising
  // SIGPIPE; the stand-in starts no other programs and ignores SIGPIPE.
  (void)setCloseOnExec(fd);
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
