#include "common/testing/temp_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <system_error>

namespace velto::test_support {

TempDir::TempDir(std::string_view prefix) {
  std::string pattern = "/tmp/" + std::string(prefix) + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return;
  std::error_code error;
  std::filesystem::path canonical = std::filesystem::canonical(pattern, error);
  path_ = error ? pattern : canonical.string();
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  // A test may have left parts read-only or owned by another user; what cannot
  // go stays, and the next run does not depend on it.
  std::error_code error;
  std::filesystem::remove_all(path_, error);
}

std::string TempDir::file(std::string_view name) const { return path_ + "/" + std::string(name); }

}  // namespace velto::test_support
