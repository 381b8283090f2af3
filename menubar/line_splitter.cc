// UTF-8 stream decoding and line splitting for the bridge connection.
// One thread at a time.
#include "menubar/line_splitter.h"

#include <cstdint>

namespace velto {

namespace {

enum class Sequence { kValid, kIncomplete, kInvalid };

// Checks the UTF-8 sequence that starts at data[0] (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF). On kValid, `length` is its size.
Sequence checkSequence(const unsigned char* data, size_t available, size_t& length) {
  unsigned char lead = data[0];
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead < 0x80) {
    length = 1;
    return Sequence::kValid;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return Sequence::kInvalid;
  }
  for (size_t i = 1; i < length; ++i) {
    if (i >= available) return Sequence::kIncomplete;
    unsigned char c = data[i];
    bool ok = i == 1 ? (c >= low && c <= high) : (c >= 0x80 && c <= 0xBF);
    if (!ok) return Sequence::kInvalid;
  }
  return Sequence::kValid;
}

}  // namespace

void Utf8StreamDecoder::decode(std::string_view bytes, std::string& out) {
  std::string joined;
  if (!carry_.empty()) {
    joined = carry_ + std::string(bytes);
    carry_.clear();
    bytes = joined;
  }
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t i = 0;
  while (i < bytes.size()) {
    size_t length = 0;
    switch (checkSequence(data + i, bytes.size() - i, length)) {
      case Sequence::kValid:
        out.append(bytes.data() + i, length);
        i += length;
        break;
      case Sequence::kIncomplete:
        carry_.assign(bytes.data() + i, bytes.size() - i);
        return;
      case Sequence::kInvalid:
        ++i;  // drop the one byte that cannot start a character here; resync on the next
        break;
    }
  }
}

LineSplitter::LineSplitter(std::function<void(std::string_view)> onLine,
                           std::function<void(std::string_view)> onOverlong)
    : onLine_(std::move(onLine)), onOverlong_(std::move(onOverlong)) {}

void LineSplitter::feed(std::string_view bytes) {
  decoder_.decode(bytes, text_);
  size_t start = 0;
  for (;;) {
    size_t newline = text_.find('\n', start);
    if (newline == std::string::npos) break;
    std::string_view line(text_.data() + start, newline - start);
    if (discarding_) {
      discarding_ = false;  // the end of the overlong line: drop what is left of it
    } else if (!line.empty()) {
      onLine_(line);
    }
    start = newline + 1;
  }
  text_.erase(0, start);

  if (discarding_) {
    text_.clear();
  } else if (text_.size() > kMaxPending) {
    onOverlong_(text_);
    text_.clear();
    discarding_ = true;
  }
}

}  // namespace velto
