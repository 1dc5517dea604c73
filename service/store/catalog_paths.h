// The listing forms of catalog paths, shared by the catalogs.
#ifndef BREVANTO_SERVICE_STORE_CATALOG_PATHS_H_
#define BREVANTO_SERVICE_STORE_CATALOG_PATHS_H_

#include <cstddef>
#include <string>
#include <vector>

// The listing form of the folder made of path[0, count): "\" or "\a\b\".
inline std::string folder_text(const std::vector<std::string>& path, std::size_t count) {
  std::string out = "\\";
  for (std::size_t i = 0; i < count; ++i) out += path[i] + '\\';
  return out;
}

// "\a\b" for {"a", "b"}; `path` is not empty.
inline std::string path_text(const std::vector<std::string>& path) {
  return folder_text(path, path.size() - 1) + path.back();
}

// The bounds [dir, upper) of every parent below the folder `dir` ("\a\"):
// ']' is the byte after '\', so the range holds every path that starts
// with "\a\" and nothing else (in byte order).
inline std::string below_upper(const std::string& dir) {
  std::string upper = dir;
  upper.back() = ']';
  return upper;
}

#endif  // BREVANTO_SERVICE_STORE_CATALOG_PATHS_H_
