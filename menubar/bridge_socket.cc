// BridgeSocket: the bridge descriptor, touched only by tasks of its queue.
#include "menubar/bridge_socket.h"

#include <errno.h>
#include <sys/socket.h>

#include "common/io.h"

namespace velto {

BridgeSocket::BridgeSocket(LogFunction log) : log_(std::move(log)) {}

bool BridgeSocket::attach(UniqueFd fd) {
  bool attached = false;
  queue_.sync([&] {
    queue_.assertRunningTask();
    if (closed_) return;
    socket_ = std::move(fd);
    attached = true;
  });
  return attached;
}

bool BridgeSocket::detach() {
  bool closing = false;
  queue_.sync([&] {
    queue_.assertRunningTask();
    socket_.reset();
    closing = closed_;
  });
  return !closing;
}

void BridgeSocket::send(std::string action, std::string line) {
  queue_.async([this, action = std::move(action), line = std::move(line)] {
    queue_.assertRunningTask();
    if (!socket_) {
      log_("sendCommand(" + action + ") dropped \u2014 bridge not connected");
      return;
    }
    if (Status sent = sendAll(socket_.get(), line); sent.ok()) {
      log_("sent: " + action);
    } else {
      log_("sendCommand(" + action + ") failed \u2014 " + sent.error().reason());
    }
  });
}

void BridgeSocket::close() {
  queue_.sync([this] {
    queue_.assertRunningTask();
    closed_ = true;
    if (socket_) ::shutdown(socket_.get(), SHUT_RDWR);
  });
}

}  // namespace velto
