// Cuts the byte stream from the bridge into lines of valid UTF-8 text. Holds
// the state of one connection; used by one thread at a time (the connection
// thread).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace velto {

// Decodes UTF-8 across read boundaries: a character whose bytes arrive in two
// reads is kept whole, while bytes that can never be part of a valid character
// are dropped.
class Utf8StreamDecoder {
 public:
  // Appends the valid text of `bytes` to `out`. An incomplete sequence at the
  // end is kept back and completed by the next call.
  void decode(std::string_view bytes, std::string& out);

 private:
  std::string carry_;  // start of a character whose remaining bytes have not arrived
};

class LineSplitter {
 public:
  // Longest text kept while waiting for a line feed.
  static constexpr size_t kMaxPending = size_t{1} << 20;

  // `onLine` receives every non-empty line without its line feed, in order.
  // `onOverlong` receives the start of a line that grew beyond kMaxPending; the
  // rest of that line, up to its line feed, is dropped.
  LineSplitter(std::function<void(std::string_view line)> onLine,
               std::function<void(std::string_view start)> onOverlong);

  // Takes the bytes of one read.
  void feed(std::string_view bytes);

 private:
  std::function<void(std::string_view)> onLine_;
  std::function<void(std::string_view)> onOverlong_;
  Utf8StreamDecoder decoder_;
  std::string text_;            // decoded, not yet split
  bool discarding_ = false;     // inside an overlong line, waiting for its end
};

}  // namespace velto
