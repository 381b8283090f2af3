// Fuzzes the agent's byte path from the bridge socket: line splitting and line
// parsing. The input chooses the bytes, how they are cut into reads and the
// line limit. Nothing may crash, a line with a bad byte is never more than
// invalid, and the lines that come out (and so their frames) must be the same
// however the bytes were cut: in one read, in the chosen pieces, or byte by byte. Input layout
// (FuzzedDataProvider): read sizes, then the stream; line limit at the end.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/bridge_wire.h"
#include "common/line_splitter.h"
#include "common/utf8.h"

namespace {

using velto::MenubarFrame;

struct Event {
  bool overlong;
  std::string bytes;
  bool operator==(const Event&) const = default;
};

std::string printable(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    }
  }
  return out;
}

void print(const char* title, const std::vector<Event>& events) {
  std::fprintf(stderr, "%s: %zu events\n", title, events.size());
  for (const Event& e : events) {
    std::fprintf(stderr, "  %s \"%s\"\n", e.overlong ? "overlong" : "line",
                 printable(e.bytes).c_str());
  }
}

[[noreturn]] void broken(const char* property, const std::vector<Event>& expected,
                         const std::vector<Event>* actual = nullptr) {
  std::fprintf(stderr, "broken property: %s\n", property);
  print("one read", expected);
  if (actual) print("other cut", *actual);
  std::abort();
}

// Feeds `stream` in reads of the sizes `readSize` returns, one call per read.
template <typename ReadSize>
std::vector<Event> splitAndParse(const std::string& stream, size_t maxLine, ReadSize readSize) {
  std::vector<Event> events;
  velto::LineSplitter splitter(
      [&](std::string_view line) {
        events.push_back({false, std::string(line)});
      },
      [&](std::string_view start) {
        events.push_back({true, std::string(start)});
      },
      maxLine);
  for (size_t offset = 0, read = 0; offset < stream.size(); ++read) {
    const size_t n = std::min(readSize(read), stream.size() - offset);
    splitter.feed(std::string_view(stream).substr(offset, n));
    offset += n;
  }
  return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const size_t maxLine = input.ConsumeIntegralInRange<size_t>(1, 256);
  const std::string readSizes = input.ConsumeRandomLengthString(64);
  const std::string stream = input.ConsumeRemainingBytesAsString();

  const std::vector<Event> whole =
      splitAndParse(stream, maxLine, [&](size_t) { return stream.size(); });
  for (const Event& e : whole) {
    if (e.bytes.empty() || e.bytes.find('\n') != std::string::npos)
      broken("empty or unsplit line", whole);
    if (e.overlong ? e.bytes.size() != maxLine : e.bytes.size() > maxLine)
      broken("line limit", whole);
    if (e.overlong) continue;
    // Frames follow from the lines alone, so one parse per line is enough.
    const MenubarFrame frame = velto::parseMenubarLine(e.bytes);
    const bool clean = e.bytes.find('\0') == std::string::npos && velto::isValidUtf8(e.bytes);
    if (!clean && !(frame == MenubarFrame::invalid()))
      broken("a bad byte left a valid line", whole);
  }

  const std::vector<Event> pieces = splitAndParse(stream, maxLine, [&](size_t read) -> size_t {
    if (readSizes.empty()) return 1;
    return 1 + static_cast<unsigned char>(readSizes[read % readSizes.size()]) % 64;
  });
  if (pieces != whole) broken("the chosen reads changed the lines", whole, &pieces);
  const std::vector<Event> bytes = splitAndParse(stream, maxLine, [](size_t) { return size_t{1}; });
  if (bytes != whole) broken("single-byte reads changed the lines", whole, &bytes);
  return 0;
}
