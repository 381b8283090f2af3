// Line splitting for a byte stream. One thread at a time.
#include "common/line_splitter.h"

#include "common/io.h"

namespace velto {

LineSplitter::LineSplitter(std::function<void(std::string_view)> onLine,
                           std::function<void(std::string_view)> onOverlong, size_t maxLine)
    : onLine_(std::move(onLine)), onOverlong_(std::move(onOverlong)), maxLine_(maxLine) {}

void LineSplitter::feed(std::string_view bytes) {
  while (!bytes.empty()) {
    const size_t newline = bytes.find('\n');
    const bool ended = newline != std::string_view::npos;
    const std::string_view piece = bytes.substr(0, newline);
    bytes.remove_prefix(ended ? newline + 1 : bytes.size());

    if (discarding_) {
      discarding_ = !ended;
      continue;
    }
    // The length of the whole line decides, not the size of the read it came in.
    if (pending_.size() + piece.size() > maxLine_) {
      pending_.append(piece.substr(0, maxLine_ - pending_.size()));
      onOverlong_(pending_);
      pending_.clear();
      discarding_ = !ended;
      continue;
    }
    if (!ended) {
      pending_.append(piece);
    } else if (pending_.empty()) {
      if (!piece.empty()) onLine_(piece);  // the common case: a whole line in one read, no copy
    } else {
      pending_.append(piece);
      onLine_(pending_);
      pending_.clear();
    }
  }
}

Result<size_t> readLines(int fd, LineSplitter& splitter, char* buffer, size_t size) {
  Result<size_t> n = readRetrying(fd, buffer, size);
  if (n.ok()) splitter.feed(std::string_view(buffer, *n));
  return n;
}

}  // namespace velto
