// The directories and files below a local directory, in the order a backup
// creates them: every directory before its contents, names sorted.
#ifndef BREVANTO_CLI_LOCAL_TREE_H_
#define BREVANTO_CLI_LOCAL_TREE_H_

#include <cstdint>
#include <string>
#include <vector>

struct LocalEntry {
  std::string relative;  // UTF-8, '/' separators
  bool is_dir = false;
  std::uint64_t size = 0;
};

struct LocalTree {
  std::vector<LocalEntry> entries;
  std::vector<std::string> problems;  // entries left out, and why
  std::size_t files = 0;
  std::uint64_t bytes = 0;
};

// Leaves out, with a problem each, names the storage cannot hold (not UTF-8,
// holding a backslash, a double quote or a control character), unreadable
// directories, and entries that are neither files nor directories; links to
// directories are not followed. Top-level names starting with
// `reserved_prefix` are skipped silently.
LocalTree walk_local_tree(const std::string& root, const std::string& reserved_prefix);

// Why the storage cannot hold this name, or empty when it can.
std::string unstorable_name_reason(const std::string& name);

#endif  // BREVANTO_CLI_LOCAL_TREE_H_
