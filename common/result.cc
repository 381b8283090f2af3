// errno as text, for Error and for the few log lines that name a bare errno.
// Any thread: strerror_r, never strerror.
#include "common/result.h"

#include <errno.h>
#include <string.h>

namespace velto {

std::string errnoText(int err) {
  char buffer[256] = {};
  // The XSI and GNU variants differ in their result type; both fill the buffer
  // or return a pointer to the message, which this overload pair sorts out.
  auto pick = [&](auto result) -> std::string {
    if constexpr (std::is_same_v<decltype(result), char*>) {
      return result ? std::string(result) : std::string("errno ") + std::to_string(err);
    } else {
      return result == 0 ? std::string(buffer) : std::string("errno ") + std::to_string(err);
    }
  };
  return pick(strerror_r(err, buffer, sizeof buffer));
}

Error errnoError(std::string context) { return Error{std::move(context), errno}; }

}  // namespace velto
