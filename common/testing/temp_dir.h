// A fresh directory under /tmp for one test, removed with everything in it when
// the object goes. Owned by one thread at a time.
#pragma once

#include <string>
#include <string_view>

namespace velto::test_support {

class TempDir {
 public:
  // `prefix` names the directory, so that one left behind by a crashed test says
  // whose it is. The path is canonical: /tmp may be a symbolic link.
  explicit TempDir(std::string_view prefix = "velto-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Empty when the directory could not be made.
  const std::string& path() const { return path_; }
  // `name` inside the directory.
  std::string file(std::string_view name) const;

 private:
  std::string path_;
};

}  // namespace velto::test_support
