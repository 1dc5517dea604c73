#include "service/store/remove_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "service/unique_fd.h"

namespace {

int remove_at_depth(int dir_fd, const std::string& name, int depth);

// Removes everything inside the directory `fd`.
int empty_directory(int fd, int depth) {
  const int listing_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (listing_fd < 0) return errno;
  DIR* dir = ::fdopendir(listing_fd);
  if (dir == nullptr) {
    const int err = errno;
    ::close(listing_fd);
    return err;
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  for (const std::string& name : names) {
    const int err = remove_at_depth(fd, name, depth + 1);
    if (err != 0 && err != ENOENT) return err;
  }
  return 0;
}

int remove_at_depth(int dir_fd, const std::string& name, int depth) {
  struct stat st;
  if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ::unlinkat(dir_fd, name.c_str(), 0) == 0 ? 0 : errno;
  if (depth >= kMaxTreeDepth) return ELOOP;
  UniqueFd child(::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!child.valid()) return errno;
  const int err = empty_directory(child.get(), depth);
  if (err != 0) return err;
  return ::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
}

}  // namespace

int remove_entry(int dir_fd, const std::string& name) {
  const int err = remove_at_depth(dir_fd, name, 0);
  if (err == 0) ::fsync(dir_fd);
  return err;
}
