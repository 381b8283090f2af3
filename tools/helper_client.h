// A client for the helper daemon's socket: one request per connection, the
// sending side shut down after the request, the response read up to the daemon's
// close. Used by development tools and the stand-in main application; any thread.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "common/result.h"

namespace velto {

// What one exchange with the daemon gave: its response text, or why there is
// none (the Error's message() says what went wrong).
struct HelperExchange {
  Result<std::string> response;
  // The daemon's socket took the connection. A failure after that may come after
  // the daemon carried out the request, in whole or in part: the answer was
  // lost. A failure before it means the request went nowhere.
  bool connected = false;
};

// Connects to `socketPath`, sends `request`, ends the sending side and reads until
// the daemon closes the connection. The whole exchange, including the wait for a
// slow script, is bounded by `timeout`. A daemon that answers before it has read
// the whole request (for example when it refuses the caller) still has its answer
// returned.
[[nodiscard]] HelperExchange sendHelperRequest(const std::string& socketPath,
                                               std::string_view request,
                                               std::chrono::milliseconds timeout);

}  // namespace velto
