#include "cli/local/local_path.h"

#include <filesystem>

namespace fs = std::filesystem;

std::string absolute_local(std::string_view typed) {
  std::string path = fs::absolute(fs::path(std::string(typed))).lexically_normal().string();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string local_join(const std::string& dir, std::string_view relative) {
  std::string path = dir;
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(relative);
  return path;
}

std::string local_basename(const std::string& path) {
  const std::size_t cut = path.find_last_of('/');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}
