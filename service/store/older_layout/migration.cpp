#include "service/store/older_layout/migration.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "service/errors.h"
#include "service/log.h"
#include "service/store/atomic_file.h"
#include "service/store/catalog.h"
#include "service/store/older_layout/change_recovery.h"
#include "service/store/older_layout/history_rename.h"
#include "service/store/filetime.h"
#include "service/store/remove_tree.h"
#include "service/store/sqlite_file_catalog.h"
#include "service/store/store.h"
#include "service/store/storage_paths.h"
#include "service/store/temp_cleanup.h"
#include "service/unique_fd.h"
#include "util/sha256.h"

namespace {

std::vector<std::string> sorted_names(int dir_fd) {
  std::vector<std::string> names;
  const int fd = ::openat(dir_fd, ".", kDirFlags);
  if (fd < 0) throw_errno(kInternal, errno, "open folder");
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    throw_errno(kInternal, errno, "fdopendir");
  }
  while (const dirent* d = ::readdir(dir)) {
    const std::string name = d->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// The project name of a project folder: "default" is the empty name,
// "p-<hex>" the name's bytes. False for anything else.
bool project_of(const std::string& folder, std::string* project) {
  if (folder == "default") {
    project->clear();
    return true;
  }
  if (folder.size() < 2 || folder.compare(0, 2, "p-") != 0 || folder.size() % 2 != 0) return false;
  project->clear();
  for (std::size_t i = 2; i < folder.size(); i += 2) {
    project->push_back(static_cast<char>(std::stoi(folder.substr(i, 2), nullptr, 16)));
  }
  return true;
}

class Migration {
 public:
  Migration(Catalog& old_rows, Store& store) : old_rows_(old_rows), store_(store) {}

  // `history_name`: what the tree's top folder ".history" is stored as
  // (see history_rename.h); empty when it has none.
  void tree(int tree_fd, const TreeId& tree, const std::string& history_name) {
    store_.open_tree(tree);
    history_name_ = history_name;
    StoragePath path;
    folder(tree_fd, tree, &path);
  }

  long files() const { return files_; }

 private:
  void folder(int dir_fd, const TreeId& tree, StoragePath* path) {
    for (const std::string& name : sorted_names(dir_fd)) {
      if (is_temp_name(name)) continue;
      // "\.history" is now the store's own; a folder of that name keeps
      // its content under a name the tree does not use.
      const bool renamed = path->parts.empty() && name == kHistoryName;
      path->parts.push_back(renamed ? history_name_ : name);
      if (!valid_name(name)) {
        log_warn("migration skips %s: name cannot be stored", log_safe(path->text()).c_str());
      } else {
        entry(dir_fd, name, tree, path);
      }
      path->parts.pop_back();
    }
  }

  void entry(int dir_fd, const std::string& name, const TreeId& tree, StoragePath* path) {
    struct stat st;
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      throw_errno(kInternal, errno, "stat " + log_safe(path->text()));
    }
    if (S_ISDIR(st.st_mode)) {
      store_.add_dir(tree, *path);
      const UniqueFd child(::openat(dir_fd, name.c_str(), kDirFlags));
      if (!child.valid()) throw_errno(kInternal, errno, "open " + log_safe(path->text()));
      folder(child.get(), tree, path);
      return;
    }
    if (!S_ISREG(st.st_mode)) {
      log_warn("migration skips %s: not a file", log_safe(path->text()).c_str());
      return;
    }
    // Every file of the older layout has a path of its own in the store
    // (the renamed ".history" takes a name no other folder has), so one
    // stored already was stored by this migration before a crash.
    try {
      store_.check_put(tree, *path, false);
    } catch (const ServiceError& e) {
      if (e.code() == kAlreadyExists) return;
      throw;
    }
    file(dir_fd, name, st, tree, *path);
  }

  void file(int dir_fd, const std::string& name, const struct stat& st, const TreeId& tree,
            const StoragePath& path) {
    const UniqueFd source(::openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!source.valid()) throw_errno(kInternal, errno, "open " + log_safe(path.text()));
    NewContent content;
    std::unique_ptr<ContentWriter> writer;
    if (st.st_size > Store::kInlineMaxBytes) {
      writer = store_.begin_content(tree.user_id);
      content.external = true;
    }
    Sha256 sha;
    std::vector<unsigned char> buffer(256 * 1024);
    for (;;) {
      const ssize_t n = ::read(source.get(), buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw_errno(kInternal, errno, "read " + log_safe(path.text()));
      if (n == 0) break;
      sha.update(buffer.data(), static_cast<std::size_t>(n));
      content.size += n;
      if (writer) {
        if (::write(writer->fd(), buffer.data(), static_cast<std::size_t>(n)) != n) {
          throw_errno(storage_error_code(errno, kInternal), errno, "write content");
        }
      } else {
        content.bytes.append(reinterpret_cast<const char*>(buffer.data()),
                             static_cast<std::size_t>(n));
      }
    }
    content.sha256 = sha.hex();
    Entry file;
    file.modify_time = filetime_from_timespec(st.st_mtim);
    file.create_time = file.modify_time;
    const std::string old_path = !history_name_.empty() && path.parts[0] == history_name_
                                     ? "\\" + std::string(kHistoryName) +
                                           path.text().substr(path.parts[0].size() + 1)
                                     : path.text();
    if (const auto row = old_rows_.find_file(tree.user_id, tree.project, old_path)) {
      file.create_time = row->create_time;
      file.modify_time = row->modify_time;
      file.backup_type = row->backup_type;
      file.reversion = row->reversion;
    }
    store_.put_file(tree, path, false, std::move(content), writer.get(), file);
    ++files_;
  }

  Catalog& old_rows_;
  Store& store_;
  std::string history_name_;
  long files_ = 0;
};

}  // namespace

long migrate_old_layout(int root_fd, Catalog& old_rows, SqliteFileCatalog& catalog,
                        Store& store) {
  const UniqueFd data(::openat(root_fd, "data", kDirFlags));
  if (!data.valid()) {
    if (errno == ENOENT) return 0;
    throw_errno(kInternal, errno, "open data");
  }
  long moved = 0;
  if (!catalog.migrated()) {
    // The older service's own recovery first: rows of renames a crash cut
    // short, and its temp files.
    settle_journaled_changes(old_rows, data.get());
    remove_stale_storage_temps(data.get());
    HistoryRenames history_renames(data.get());
    Migration migration(old_rows, store);
    for (const std::string& user : sorted_names(data.get())) {
      if (user.size() < 2 || user[0] != 'u') continue;
      const std::int64_t user_id = std::stoll(user.substr(1));
      const UniqueFd user_fd(::openat(data.get(), user.c_str(), kDirFlags));
      if (!user_fd.valid()) throw_errno(kInternal, errno, "open " + user);
      for (const std::string& folder : sorted_names(user_fd.get())) {
        std::string project;
        if (!project_of(folder, &project)) continue;
        const UniqueFd tree_fd(::openat(user_fd.get(), folder.c_str(), kDirFlags));
        if (!tree_fd.valid()) throw_errno(kInternal, errno, "open " + folder);
        migration.tree(tree_fd.get(), TreeId{user_id, project},
                       history_renames.name_for(user + "/" + folder, tree_fd.get()));
      }
    }
    catalog.set_migrated();
    if (!store.sync()) throw ServiceError(kInternal, "cannot sync the store after migration");
    moved = migration.files();
    log_always("moved %ld file(s) of the older layout into the store", moved);
  }
  // Only once the store holds it all durably does the old layout go.
  if (const int err = remove_entry(root_fd, "data")) {
    log_warn("cannot remove the older layout's data folder: %s", std::strerror(err));
  }
  return moved;
}
