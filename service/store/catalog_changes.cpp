#include "service/store/catalog_changes.h"

#include "service/errors.h"
#include "service/store/catalog_paths.h"

namespace {

// A bound on the folders remembered, which are forgotten together past it.
constexpr std::size_t kMostKnownFolders = 100000;

}  // namespace

void CatalogChanges::make_folders(const TreeId& tree, const std::vector<std::string>& path,
                                  std::size_t count, std::int64_t seq, std::int64_t now) {
  std::string key;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string parent = folder_text(path, i);
    if (remember_folders_) {
      // A parent ends with '\\' and a project holds no NUL: the parts
      // cannot run into each other.
      key.assign(std::to_string(tree.user_id)).append(1, '\0').append(tree.project);
      key.append(1, '\0').append(parent).append(path[i]);
      if (known_folders_.count(key) > 0) continue;
    }
    const auto found = find_locked(tree, parent, path[i], View{});
    if (found) {
      if (!found->is_dir) throw ServiceError(kNotADirectory, "not a directory: " + path[i]);
    } else {
      Entry folder;
      folder.parent = parent;
      folder.name = path[i];
      folder.is_dir = true;
      folder.create_time = folder.modify_time = now;
      insert_entry(tree, folder, seq);
    }
    if (remember_folders_) {
      if (known_folders_.size() >= kMostKnownFolders) known_folders_.clear();
      known_folders_.insert(key);
    }
  }
}

void CatalogChanges::apply_change(const Change& change, std::int64_t seq, std::int64_t now) {
  // A removal may take folders away; a change that fails may have made
  // some that its catalog takes back.
  if (change.kind == Change::kRemove) forget_folders();
  try {
    apply_checked(change, seq, now);
  } catch (...) {
    forget_folders();
    throw;
  }
}

void CatalogChanges::apply_checked(const Change& change, std::int64_t seq, std::int64_t now) {
  const TreeId& tree = change.tree;
  const std::vector<std::string>& path = change.path;
  if (change.kind == Change::kAddDir) {
    make_folders(tree, path, path.size(), seq, now);
    return;
  }
  const std::string parent = folder_text(path, path.size() - 1);
  const std::string& name = path.back();
  if (change.kind == Change::kAddFile) make_folders(tree, path, path.size() - 1, seq, now);
  const std::optional<Entry> old = find_locked(tree, parent, name, View{});
  switch (change.kind) {
    case Change::kAddDir: break;
    case Change::kAddFile: {
      if (old) throw ServiceError(kAlreadyExists, path_text(path) + " exists");
      Entry e = change.file;
      // A path stored again after a remove goes on counting its versions;
      // a migrated file brings its count along.
      if (e.reversion <= 0) e.reversion = last_reversion(tree, parent, name) + 1;
      e.parent = parent;
      e.name = name;
      e.content = change.content.sha256;
      e.size = change.content.size;
      insert_entry(tree, e, seq);
      add_reference(tree.user_id, change.content);
      break;
    }
    case Change::kUpdateFile: {
      if (!old) throw ServiceError(kNotFound, "no " + path_text(path));
      if (old->is_dir) throw ServiceError(kIsADirectory, path_text(path) + " is a directory");
      retire(tree, parent, name, seq);
      Entry e = change.file;
      e.parent = parent;
      e.name = name;
      e.content = change.content.sha256;
      e.size = change.content.size;
      e.reversion = old->reversion + 1;
      e.create_time = old->create_time;
      insert_entry(tree, e, seq);
      add_reference(tree.user_id, change.content);
      break;
    }
    case Change::kRemove: {
      if (!old) throw ServiceError(kNotFound, "no " + path_text(path));
      if (old->is_dir) retire_below(tree, parent + name + '\\', seq);
      retire(tree, parent, name, seq);
      break;
    }
  }
}
