// Path strings joined and split one way for every program. Any thread.
#include "common/paths.h"

namespace velto {

std::string_view withoutTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

std::string joinPath(std::string_view directory, std::string_view name) {
  if (directory.empty()) return std::string(name);
  std::string path(withoutTrailingSlashes(directory));
  if (path != "/") path += '/';
  path += name;
  return path;
}

std::string parentPath(std::string_view path) {
  path = withoutTrailingSlashes(path);
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(withoutTrailingSlashes(path.substr(0, slash)));
}

}  // namespace velto
