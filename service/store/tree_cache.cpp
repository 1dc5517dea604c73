#include "service/store/tree_cache.h"

#include <sys/stat.h>

#include "service/store/storage_tree.h"

namespace {

bool still_linked(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && st.st_nlink > 0;
}

// The canonical text of the first `count` components: "" for the tree.
std::string key_of(const StoragePath& path, std::size_t count) {
  std::string key;
  for (std::size_t i = 0; i < count; ++i) key += '\\' + path.parts[i];
  return key;
}

}  // namespace

TreeCache::Entry* TreeCache::find(const std::string& key) {
  for (auto it = folders_.begin(); it != folders_.end(); ++it) {
    if (it->key != key) continue;
    if (!still_linked(it->fd.get())) {
      folders_.erase(it);
      return nullptr;
    }
    folders_.splice(folders_.begin(), folders_, it);
    return &folders_.front();
  }
  return nullptr;
}

int TreeCache::folder(int data_fd, const Binding& who, const StoragePath& path, std::size_t count,
                      bool create) {
  if (who.user_id != user_id_ || who.project != project_ || !tree_.valid() ||
      !still_linked(tree_.get())) {
    folders_.clear();
    tree_ = open_user_tree(data_fd, who, false);
    user_id_ = who.user_id;
    project_ = who.project;
  }
  if (count == 0) return tree_.get();
  const std::string key = key_of(path, count);
  if (Entry* hit = find(key)) return hit->fd.get();
  // Walks from the deepest cached folder on the way, else from the tree.
  int start = tree_.get();
  std::size_t from = 0;
  for (std::size_t k = count - 1; k > 0; --k) {
    if (Entry* ancestor = find(key_of(path, k))) {
      start = ancestor->fd.get();
      from = k;
      break;
    }
  }
  UniqueFd fd = open_storage_dir(start, path, count, create, from);
  folders_.push_front(Entry{key, std::move(fd)});
  if (folders_.size() > kMaxFolders) folders_.pop_back();
  return folders_.front().fd.get();
}
