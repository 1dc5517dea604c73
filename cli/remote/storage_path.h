// Paths in the online storage: UTF-8 here, backslash-separated and rooted
// ("\docs\a.txt"); the root is "\".
#ifndef BREVANTO_CLI_STORAGE_PATH_H_
#define BREVANTO_CLI_STORAGE_PATH_H_

#include <optional>
#include <string>
#include <string_view>

// A path as typed: '/' counts as a separator too, repeated separators
// collapse, a leading one is added and a trailing one dropped.
std::string to_storage_path(std::string_view typed);

// True when the typed path names a directory to put something into.
bool names_directory(std::string_view typed);

std::string storage_join(const std::string& dir, std::string_view relative_slashed);
std::string storage_basename(const std::string& path);

// The part of `path` below `dir` with '/' separators ("sub/a.txt"); empty
// for `dir` itself; nullopt when `path` is not inside `dir`.
std::optional<std::string> storage_relative(const std::string& path, const std::string& dir);

#endif  // BREVANTO_CLI_STORAGE_PATH_H_
