// The directories and files below a local directory, in the order a backup
// creates them: every directory before its contents, names sorted.
#ifndef BREVANTO_CLI_LOCAL_TREE_H_
#define BREVANTO_CLI_LOCAL_TREE_H_

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "cli/local/exclusion.h"

// One entry of the walk. A large tree's walk holds one per entry, so the
// entry is kept to 64 bytes: the one name besides its own that a few
// entries have (a link's target, a hard link's first name) is behind a
// pointer that is null for the others.
struct LocalEntry {
  std::string relative;  // the names' bytes, '/' separators
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;  // since 1970-01-01 UTC
  int mode = 0;               // permission bits (07777)
  bool is_dir = false;
  bool is_link = false;       // a symbolic link, not followed

  // A link's target as it reads; empty for other entries.
  const std::string& link_target() const { return is_link ? second_name() : kNoName; }
  void set_link_target(std::string target);
  // For a file with more than one name: the first of its names the walk
  // met (an earlier entry), or empty.
  const std::string& hardlink_to() const { return is_link ? kNoName : second_name(); }
  void set_hardlink_to(std::string name);

 private:
  static const std::string kNoName;
  const std::string& second_name() const { return second_name_ ? *second_name_ : kNoName; }
  void set_second_name(std::string name);

  std::unique_ptr<std::string> second_name_;
};

struct LocalTree {
  int root_mode = 0;
  std::int64_t root_mtime_ns = 0;
  // In blocks (a growing vector would hold its old copies beside the new
  // one, and room for up to twice the entries), to be let go of one by one.
  std::deque<LocalEntry> entries;
  // Entries left out on purpose (FIFOs, sockets, devices), and why: notices.
  std::vector<std::string> skipped;
  // Entries that should be backed up but cannot be, and why: failures.
  std::vector<std::string> problems;
  std::size_t files = 0;
  std::uint64_t bytes = 0;
  std::size_t excluded = 0;  // entries left out by the exclusion options
  // Storage roots of a brevanto-service met on the way, left out whole.
  std::vector<std::string> service_stores;
  // The command line's own log folder, met on the way and left out whole.
  std::vector<std::string> own_folders;
};

// A folder by identity, whatever its path is spelt.
struct FolderId {
  dev_t dev = 0;
  ino_t ino = 0;
};

struct WalkOptions {
  // Top-level names starting with it are left out silently.
  std::string reserved_prefix;
  // Links to files are taken as the files they name; links to directories
  // and dangling ones are kept as links (directories are never followed: no
  // loops). Without it every link is kept as a link.
  bool copy_links = false;
  // Entries these match are left out (null: none).
  const ExcludeRules* exclude = nullptr;
  // A directory holding a CACHEDIR.TAG (https://bford.info/cachedir/) keeps
  // that file only.
  bool exclude_caches = false;
  // Files larger than this are left out (0: none).
  std::uint64_t exclude_larger_than = 0;
  // Folders left out whole, whatever the patterns, into own_folders: the
  // command line's log folder, which changes while a backup reads it.
  std::vector<FolderId> own_folders;
};

// Every name is taken (see cli/manifest/stored_name.h for the names the storage
// cannot hold); unreadable entries are problems; FIFOs, sockets and devices
// are skipped. The storage root of a
// brevanto-service (a directory holding its catalog.sqlite3 and
// service.lock) is always left out, whatever the patterns: the service
// refuses to read it, and it changes while it is read. Stops early once
// interrupted().
LocalTree walk_local_tree(const std::string& root, const WalkOptions& options);

// Why the storage cannot hold this name, or empty when it can.
std::string unstorable_name_reason(const std::string& name);

#endif  // BREVANTO_CLI_LOCAL_TREE_H_
