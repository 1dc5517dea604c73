#include "cli/remote/storage_path.h"

namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

}  // namespace

std::string to_storage_path(std::string_view typed) {
  std::string path = "\\";
  for (const char c : typed) {
    if (is_separator(c)) {
      if (path.back() != '\\') path.push_back('\\');
    } else {
      path.push_back(c);
    }
  }
  if (path.size() > 1 && path.back() == '\\') path.pop_back();
  return path;
}

bool names_directory(std::string_view typed) {
  return typed.empty() || is_separator(typed.back());
}

std::string storage_join(const std::string& dir, std::string_view relative_slashed) {
  std::string path = dir;
  if (path.empty() || path.back() != '\\') path.push_back('\\');
  for (const char c : relative_slashed) path.push_back(c == '/' ? '\\' : c);
  return to_storage_path(path);
}

std::string storage_basename(const std::string& path) {
  const std::size_t cut = path.find_last_of('\\');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::optional<std::string> storage_relative(const std::string& path, const std::string& dir) {
  const std::string full = to_storage_path(path);
  const std::string base = to_storage_path(dir);
  if (full == base) return std::string();
  const std::string prefix = base == "\\" ? base : base + "\\";
  if (full.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  std::string relative = full.substr(prefix.size());
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  return relative;
}
