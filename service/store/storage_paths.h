// Storage paths: the client's backslash-separated paths inside one user's
// tree, e.g. "\docs\a.txt".
//
// A leading backslash is optional, and empty components (a trailing or a
// doubled backslash) are ignored, so "docs\a.txt\" names the same entry;
// "" and "\" name the tree's root. Every component must be a valid name
// (valid_name()); anything else is refused with kInvalidPath, so a parsed
// path can never leave the tree.
#ifndef BREVANTO_SERVICE_STORE_STORAGE_PATHS_H_
#define BREVANTO_SERVICE_STORE_STORAGE_PATHS_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Longest storage path accepted, in bytes.
constexpr std::size_t kMaxStoragePathBytes = 4096;
// Deeper paths are refused, so that every tree the service holds is shallow
// enough to be listed and removed whole (see kMaxTreeDepth).
constexpr std::size_t kMaxStoragePathDepth = 64;

struct StoragePath {
  std::vector<std::string> parts;

  bool is_root() const { return parts.empty(); }
  // The last component; the path must not be the root.
  const std::string& name() const { return parts.back(); }
  // The canonical text: "\" for the root, else "\a\b" (no trailing '\').
  std::string text() const;
  // The canonical text of a directory as a listing's ParentDir: "\a\b\".
  std::string dir_text() const;
};

// Parses a storage path. Throws ServiceError(kInvalidPath).
StoragePath parse_storage_path(const std::string& text);

// True for a name that a storage path and a listing can carry: 1 to 255
// bytes of valid UTF-8, not "." or "..", no '/', '\\', '"', control byte or
// DEL, and not a temp file name of the service.
bool valid_name(std::string_view name);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view text);

#endif  // BREVANTO_SERVICE_STORE_STORAGE_PATHS_H_
