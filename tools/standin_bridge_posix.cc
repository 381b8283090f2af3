// The stand-in's bridge socket on POSIX systems. Event-loop thread only.
#include "tools/standin_bridge.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/io.h"
#include "common/peer_uid.h"
#include "common/private_directory.h"

namespace velto::standin {
namespace {

UniqueFd newSocket() {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (fd) {
    setCloseOnExec(fd.get());
    disableSigpipe(fd.get());
  }
  return fd;
}

}  // namespace

std::optional<std::string> bridgeSocketPath() {
  if (const char* fromEnv = getenv("VELTOVPN_MENUBAR_SOCKET")) return fromEnv;
  const std::optional<std::string>& directory = privateDirectory().path;
  if (!directory) return std::nullopt;
  return *directory + "veltovpn-menubar.sock";
}

BridgeServer::BridgeServer(std::string path, UniqueFd listener)
    : path_(std::move(path)), listener_(std::move(listener)) {}

BridgeServer::~BridgeServer() { close(); }

std::unique_ptr<BridgeServer> BridgeServer::listenAt(const std::string& path, std::string* error) {
  sockaddr_un address;
  if (path.empty() || !fillUnixAddress(path, &address)) {
    *error = "unusable socket path (empty or too long): \"" + path + "\"";
    return nullptr;
  }
  // A socket file that still takes connections belongs to a running main
  // application; taking it over would strand that one's agent.
  if (UniqueFd probe = newSocket();
      probe && ::connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    *error = "another main application already serves " + path;
    return nullptr;
  }
  ::unlink(path.c_str());
  UniqueFd listener = newSocket();
  if (!listener) {
    *error = "socket(): " + errnoText(errno);
    return nullptr;
  }
  // The socket file takes its mode from the umask: no moment in which another
  // user could connect. The stand-in has no other thread to see the umask change.
  const mode_t savedUmask = ::umask(077);
  const int bound = ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  const int bindError = errno;
  ::umask(savedUmask);
  if (bound != 0) {
    *error = "bind(" + path + "): " + errnoText(bindError);
    return nullptr;
  }
  if (::listen(listener.get(), 5) != 0) {
    *error = "listen(): " + errnoText(errno);
    ::unlink(path.c_str());
    return nullptr;
  }
  return std::unique_ptr<BridgeServer>(new BridgeServer(path, std::move(listener)));
}

std::vector<int> BridgeServer::clientFds() const {
  std::vector<int> fds;
  for (const auto& [fd, client] : clients_) fds.push_back(fd);
  return fds;
}

std::optional<int> BridgeServer::acceptClient(std::string* refused) {
  if (!listener_) return std::nullopt;
  int fd;
  do {
    fd = ::accept(listener_.get(), nullptr, nullptr);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::nullopt;
  // Root can connect whatever the socket file's mode; only this user's agent
  // may see the state or send commands.
  if (std::optional<uid_t> owner = peerUid(fd); !owner || *owner != ::geteuid()) {
    *refused = owner ? "agent of uid " + std::to_string(*owner) + " refused: not this user"
                     : "agent refused: its owner cannot be told: " + errnoText(errno);
    ::close(fd);
    return std::nullopt;
  }
  setCloseOnExec(fd);
  disableSigpipe(fd);
  clients_[fd] = {UniqueFd(fd), std::string()};
  return fd;
}

bool BridgeServer::readFrom(int fd, std::vector<std::string>& lines) {
  auto client = clients_.find(fd);
  if (client == clients_.end()) return false;
  char buffer[4096];
  ssize_t n = readRetrying(fd, buffer, sizeof buffer);
  if (n <= 0) {
    clients_.erase(client);
    return false;
  }
  std::string& pending = client->second.second;
  pending.append(buffer, static_cast<size_t>(n));
  size_t start = 0;
  for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
    if (end > start) lines.emplace_back(pending, start, end - start);
  }
  pending.erase(0, start);
  return true;
}

void BridgeServer::sendTo(int fd, const std::string& line) {
  auto client = clients_.find(fd);
  // A failed send shows up as end of stream on the next read of that agent.
  if (client != clients_.end()) sendAll(fd, line);
}

void BridgeServer::broadcast(const std::string& line) {
  for (auto& [fd, client] : clients_) sendAll(fd, line);
}

void BridgeServer::close() {
  clients_.clear();
  if (listener_) {
    listener_.reset();
    ::unlink(path_.c_str());
  }
}

}  // namespace velto::standin
