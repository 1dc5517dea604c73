#include "service/store/temp_cleanup.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "service/store/atomic_file.h"
#include "service/store/catalog.h"
#include "service/log.h"
#include "service/store/remove_tree.h"
#include "service/unique_fd.h"

namespace {

int sweep(int dir_fd, int depth) {
  const int listing_fd = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (listing_fd < 0) return 0;
  DIR* dir = ::fdopendir(listing_fd);
  if (dir == nullptr) {
    ::close(listing_fd);
    return 0;
  }
  std::vector<std::string> temps;
  std::vector<std::string> dirs;
  while (const dirent* d = ::readdir(dir)) {
    const std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    if (is_temp_name(name)) {
      temps.push_back(name);
    } else if (d->d_type == DT_DIR || d->d_type == DT_UNKNOWN) {
      dirs.push_back(name);
    }
  }
  ::closedir(dir);
  int removed = 0;
  for (const std::string& name : temps) {
    if (remove_entry(dir_fd, name) == 0) ++removed;
  }
  if (depth + 1 >= kMaxTreeDepth) return removed;
  for (const std::string& name : dirs) {
    // O_NOFOLLOW: a link in a tree leads nowhere the sweep may go.
    UniqueFd child(::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (child.valid()) removed += sweep(child.get(), depth + 1);
  }
  return removed;
}

}  // namespace

int remove_stale_storage_temps(int data_fd) { return sweep(data_fd, 0); }

int remove_stale_local_temps(Catalog& catalog) {
  int removed = 0;
  for (const std::string& path : catalog.pending_temps()) {
    const std::size_t slash = path.rfind('/');
    // Only names the service made are removed, and never through a link.
    if (slash != std::string::npos && is_temp_name(path.substr(slash + 1)) &&
        ::unlink(path.c_str()) == 0) {
      log_warn("removed stale temp file %s", log_safe(path).c_str());
      ++removed;
    }
    catalog.remove_pending_temp(path);
  }
  return removed;
}
