// The agent's end of the bridge connection, as commands are written to it: owns
// the connected descriptor and the serial queue on which every write, the
// hand-over and the close happen, so that a write never reaches a descriptor
// that is closed or already reused. Threads as each method says.
#pragma once

#include <string>

#include "common/log.h"
#include "common/thread_annotations.h"
#include "common/unique_fd.h"
#include "menubar/serial_queue.h"

namespace velto {

class BridgeSocket {
 public:
  explicit BridgeSocket(LogFunction log);
  // Drops commands not yet written; the descriptor is closed with the object.
  ~BridgeSocket() = default;
  BridgeSocket(const BridgeSocket&) = delete;
  BridgeSocket& operator=(const BridgeSocket&) = delete;

  // Connection thread: takes the connected `fd` for writing. Its number stays
  // valid for reading until detach(). False (and `fd` closed) once close() has
  // begun.
  bool attach(UniqueFd fd);
  // Connection thread, once reading has ended: closes the descriptor after the
  // writes queued so far. False when close() had begun.
  bool detach();
  // Any thread: queues `line`, the command for `action`, for writing. Without an
  // attached descriptor the command is dropped; either way a line is logged.
  void send(std::string action, std::string line);
  // Main thread, before the connection thread is joined: no descriptor is
  // attached from now on, and a read blocked on the attached one returns.
  void close();

 private:
  LogFunction log_;
  UniqueFd socket_ VELTO_GUARDED_BY(queue_);
  bool closed_ VELTO_GUARDED_BY(queue_) = false;
  SerialQueue queue_;  // last: destroyed first, before what its tasks use
};

}  // namespace velto
