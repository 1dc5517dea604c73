#include "service/store/older_layout/change_recovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <exception>
#include <vector>

#include "service/store/catalog.h"
#include "service/log.h"
#include "util/sha256.h"
#include "service/store/older_layout/storage_tree.h"

namespace {

// Whether the stored file of `row` has the row's size and SHA-256. Never
// follows a link; a file that cannot be read does not match.
bool file_matches(int data_fd, const FileRow& row) {
  try {
    const UniqueFd tree = open_user_tree(data_fd, Binding{row.user_id, "", row.project}, false);
    const StoragePath path = parse_storage_path(row.path);
    if (path.is_root()) return false;
    const UniqueFd parent = open_parent_dir(tree.get(), path, false);
    const UniqueFd file(
        ::openat(parent.get(), path.name().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!file.valid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size != row.size) {
      return false;
    }
    Sha256 sha;
    std::vector<unsigned char> buffer(256 * 1024);
    for (;;) {
      const ssize_t n = ::read(file.get(), buffer.data(), buffer.size());
      if (n < 0) return false;
      if (n == 0) break;
      sha.update(buffer.data(), static_cast<std::size_t>(n));
    }
    return sha.hex() == row.sha256;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

int settle_journaled_changes(Catalog& catalog, int data_fd) {
  const std::vector<JournaledChange> journal = catalog.journaled_changes();
  std::vector<const RowChange*> done;
  std::vector<std::int64_t> ids;
  for (const JournaledChange& entry : journal) {
    ids.push_back(entry.id);
    if (file_matches(data_fd, entry.change.row)) {
      done.push_back(&entry.change);
      log_warn("settled the row of %s after a crash", log_safe(entry.change.row.path).c_str());
    }
  }
  if (!ids.empty()) catalog.commit_changes({}, done, ids);
  return static_cast<int>(done.size());
}
