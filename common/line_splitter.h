// Cuts a byte stream into lines: the bridge between the agent and the main
// application (both ends) and the stand-in's console. Holds the state of one
// stream; used by one thread at a time.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "common/result.h"

namespace velto {

// Lines are cut at the byte 0x0A, which never occurs inside a multi-byte UTF-8
// character: a character whose bytes arrive in two reads stays whole, and a
// line is handed over with exactly the bytes it arrived with. Whether they are
// UTF-8 is the parser's question. How the stream was cut into reads never
// changes which lines come out.
class LineSplitter {
 public:
  // Longest line kept while waiting for its line feed.
  static constexpr size_t kMaxLine = size_t{1} << 20;

  // `onLine` receives every non-empty line without its line feed, in order.
  // `onOverlong` receives the first `maxLine` bytes of a line longer than that;
  // the rest of that line, up to its line feed, is dropped.
  LineSplitter(std::function<void(std::string_view line)> onLine,
               std::function<void(std::string_view start)> onOverlong, size_t maxLine = kMaxLine);

  // Takes the bytes of one read.
  void feed(std::string_view bytes);

 private:
  std::function<void(std::string_view)> onLine_;
  std::function<void(std::string_view)> onOverlong_;
  size_t maxLine_;
  std::string pending_;      // start of a line whose line feed has not arrived
  bool discarding_ = false;  // inside an overlong line, waiting for its end
};

// One read(2) from `fd` into `buffer` (retrying EINTR), fed to `splitter`: the
// count read, 0 at end of stream.
[[nodiscard]] Result<size_t> readLines(int fd, LineSplitter& splitter, char* buffer, size_t size);

}  // namespace velto
