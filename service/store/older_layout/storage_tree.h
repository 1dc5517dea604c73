// Walking a user's storage tree with directory descriptors.
//
// Layout below the storage root: ROOT/data/u<user id>/<project folder>/...,
// where the project folder is "default" for the empty project name and
// "p-<hex of the name's bytes>" otherwise. Every step opens one component
// relative to the previous one with O_NOFOLLOW, so a symbolic link inside a
// tree is never followed: on the way it is refused as kInvalidPath.
#ifndef BREVANTO_SERVICE_STORE_OLDER_LAYOUT_STORAGE_TREE_H_
#define BREVANTO_SERVICE_STORE_OLDER_LAYOUT_STORAGE_TREE_H_

#include <sys/stat.h>

#include <cstddef>
#include <string>

#include "service/net/client_registry.h"
#include "service/store/storage_paths.h"
#include "service/unique_fd.h"

std::string user_dir_name(std::int64_t user_id);
std::string project_dir_name(const std::string& project);

// Opens the tree of a (user, project), creating it when `create`. Throws
// ServiceError.
UniqueFd open_user_tree(int data_fd, const Binding& binding, bool create);

// Opens the directory formed by the first `count` components of `path`,
// walking from `dir_fd`, which is the directory of the first `from`
// components (the tree itself for 0). When `create`, missing directories
// are made (mode 0700, each synced into its parent). Throws ServiceError:
// kNotFound, kNotADirectory, kInvalidPath for a symbolic link.
UniqueFd open_storage_dir(int dir_fd, const StoragePath& path, std::size_t count, bool create,
                          std::size_t from = 0);

// The directory that holds the last component of a non-root path.
inline UniqueFd open_parent_dir(int tree_fd, const StoragePath& path, bool create) {
  return open_storage_dir(tree_fd, path, path.parts.size() - 1, create);
}

enum class EntryKind { kMissing, kFile, kDirectory, kSymlink, kOther };

// What `name` in `dir_fd` is, without following a symbolic link; fills `st`
// when given. Throws ServiceError for failures other than ENOENT.
EntryKind entry_kind(int dir_fd, const std::string& name, struct stat* st = nullptr);

#endif  // BREVANTO_SERVICE_STORE_OLDER_LAYOUT_STORAGE_TREE_H_
