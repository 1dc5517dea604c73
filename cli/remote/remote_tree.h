// What a storage directory holds, from one recursive listing, and what kind
// of entry a storage path names.
#ifndef BREVANTO_CLI_REMOTE_TREE_H_
#define BREVANTO_CLI_REMOTE_TREE_H_

#include <string>
#include <vector>

#include "cli/remote/session.h"

struct RemoteEntry {
  std::string relative;  // '/' separators
  bool is_dir = false;
};

struct RemoteTree {
  std::vector<RemoteEntry> entries;  // sorted by path, the manifest left out
  bool has_manifest = false;
  std::vector<std::string> unsafe;  // paths that cannot be created locally
};

// One recursive listing of `remote_root`; returns the library's status.
// The listing of the top leaves out "\.history" (history.h), which no
// backup holds and none may change.
int list_remote_tree(Session& session, const std::string& remote_root, RemoteTree& tree);

// True when no component of the relative path is empty, "." or "..", so it
// stays below the directory it is joined to.
bool is_safe_relative(const std::string& relative);

enum class EntryKind { kUnknown, kFile, kDirectory };

// What a storage path names, from its parent's listing (one request);
// kUnknown when the listing fails or does not hold it.
EntryKind entry_kind(Session& session, const std::string& path);

#endif  // BREVANTO_CLI_REMOTE_TREE_H_
