// The folders of a user's tree that one connection used last, kept open so
// that its next requests need not walk the tree from its top again (each
// step an openat). A folder is only ever opened by the walk of
// storage_tree.h, one component at a time with O_NOFOLLOW, from the tree or
// from a cached folder that such a walk opened; so the path jail is the
// same. A cached folder is used while it is still linked (st_nlink above
// 0): the service never renames folders, so a folder still linked is still
// at its path, and one removed meanwhile is opened afresh.
#ifndef BREVANTO_SERVICE_STORE_TREE_CACHE_H_
#define BREVANTO_SERVICE_STORE_TREE_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "service/net/client_registry.h"
#include "service/store/storage_paths.h"
#include "service/unique_fd.h"

class TreeCache {
 public:
  // Folders kept besides the tree itself; few, as every session holds its
  // own.
  static constexpr std::size_t kMaxFolders = 4;

  // The folder formed by the first `count` components of `path` in the
  // tree of `who` (made when `create`, like open_storage_dir()). The
  // descriptor belongs to the cache and stays valid until the next call.
  // Throws ServiceError.
  int folder(int data_fd, const Binding& who, const StoragePath& path, std::size_t count,
             bool create);
  int tree(int data_fd, const Binding& who) { return folder(data_fd, who, StoragePath(), 0, false); }
  int parent(int data_fd, const Binding& who, const StoragePath& path, bool create) {
    return folder(data_fd, who, path, path.parts.size() - 1, create);
  }

 private:
  struct Entry {
    std::string key;  // the canonical text of the folder's path
    UniqueFd fd;
  };
  // The cached folder `key`, moved to the front, or null.
  Entry* find(const std::string& key);

  std::int64_t user_id_ = -1;
  std::string project_;
  UniqueFd tree_;
  std::list<Entry> folders_;  // most recently used first
};

#endif  // BREVANTO_SERVICE_STORE_TREE_CACHE_H_
