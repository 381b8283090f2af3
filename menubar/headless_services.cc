// HeadlessImages: PNG files are checked, not decoded. Main thread.
#include "menubar/headless_services.h"

#include <fcntl.h>

#include <cstring>

#include "common/io.h"
#include "common/unique_fd.h"

namespace velto {

namespace {

class PlaceholderImage final : public Image {};

}  // namespace

ImagePtr HeadlessImages::loadTemplate(const std::string& path, int) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return nullptr;
  // 8-byte signature, then the IHDR chunk: length 13, type "IHDR".
  static constexpr unsigned char kStart[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n',
                                             0,    0,   0,   13,  'I',  'H',  'D',  'R'};
  unsigned char header[sizeof kStart];
  size_t got = 0;
  while (got < sizeof header) {
    Result<size_t> n = readRetrying(fd.get(), header + got, sizeof header - got);
    if (!n.ok() || *n == 0) return nullptr;
    got += *n;
  }
  if (std::memcmp(header, kStart, sizeof kStart) != 0) return nullptr;
  return std::make_shared<PlaceholderImage>();
}

ImagePtr HeadlessImages::drawnLetter(std::string_view) {
  return std::make_shared<PlaceholderImage>();
}

}  // namespace velto
