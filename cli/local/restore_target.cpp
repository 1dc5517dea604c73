#include "cli/local/restore_target.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "cli/manifest/manifest.h"

namespace {

std::string why(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// The error of opening a component that should be a directory.
std::string not_a_directory(const std::string& path) {
  if (errno == ELOOP || errno == ENOTDIR) {
    return path + " is a symbolic link or no directory; nothing is written through it";
  }
  return why(path.c_str());
}

// The modification time `mtime_ns` as utimensat() takes it, access time
// left alone.
void to_times(std::int64_t mtime_ns, timespec times[2]) {
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(mtime_ns / 1000000000);
  times[1].tv_nsec = static_cast<long>(mtime_ns % 1000000000);
  if (times[1].tv_nsec < 0) {
    times[1].tv_nsec += 1000000000;
    --times[1].tv_sec;
  }
}

// A name no restored entry has, for an entry made beside its place.
std::string temporary_name() {
  static std::atomic<unsigned> counter{0};
  return ".brevanto-restore." + std::to_string(getpid()) + "." + std::to_string(counter++);
}

}  // namespace

RestoreTarget::Folder RestoreTarget::hold(int fd) {
  return Folder(new int(fd), [](const int* held) {
    ::close(*held);
    delete held;
  });
}

bool RestoreTarget::open(const std::string& root, std::string& error) {
  root_fd_ = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root_fd_ < 0) {
    error = why(root.c_str());
    return false;
  }
  root_ = hold(root_fd_);
  return true;
}

RestoreTarget::~RestoreTarget() = default;

bool RestoreTarget::make_directory(const std::string& relative, std::string& error) const {
  int fd = dup(root_fd_);
  std::size_t from = 0;
  while (fd >= 0 && from < relative.size()) {
    std::size_t cut = relative.find('/', from);
    if (cut == std::string::npos) cut = relative.size();
    const std::string part = relative.substr(from, cut - from);
    if (mkdirat(fd, part.c_str(), 0700) != 0 && errno != EEXIST) {
      error = why(relative.substr(0, cut).c_str());
      ::close(fd);
      return false;
    }
    const int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) error = not_a_directory(relative.substr(0, cut));
    ::close(fd);
    fd = next;
    from = cut + 1;
  }
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

RestoreTarget::Folder RestoreTarget::open_parent(const std::string& relative, std::string& name,
                                                 std::string& error) const {
  const std::size_t cut = relative.rfind('/');
  name = cut == std::string::npos ? relative : relative.substr(cut + 1);
  if (cut == std::string::npos) return root_;
  const std::string folder = relative.substr(0, cut);
  {
    std::shared_lock<std::shared_mutex> lock(folders_mu_);
    const auto kept = folders_.find(folder);
    if (kept != folders_.end()) return kept->second;
  }
  std::lock_guard<std::shared_mutex> lock(folders_mu_);
  const auto kept = folders_.find(folder);
  if (kept != folders_.end()) return kept->second;
  const int fd = walk_to(folder, relative, error);
  if (fd < 0) return nullptr;
  if (folders_.size() >= kFolders) folders_.clear();
  Folder held = hold(fd);
  folders_.emplace(folder, held);
  return held;
}

int RestoreTarget::walk_to(const std::string& folder, const std::string& relative,
                           std::string& error) const {
  int fd = dup(root_fd_);
  std::size_t from = 0;
  while (fd >= 0 && from <= folder.size()) {
    std::size_t cut = folder.find('/', from);
    if (cut == std::string::npos) cut = folder.size();
    const int next = openat(fd, folder.substr(from, cut - from).c_str(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) error = not_a_directory(relative.substr(0, cut));
    ::close(fd);
    fd = next;
    from = cut + 1;
  }
  return fd;
}

bool RestoreTarget::may_write_file(const std::string& relative, std::string& error) const {
  std::string name;
  const Folder parent = open_parent(relative, name, error);
  if (!parent) return false;
  struct stat info;
  const bool link = fstatat(*parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISLNK(info.st_mode);
  if (link) error = relative + " is a symbolic link; nothing is written through it";
  return !link;
}

bool RestoreTarget::set_metadata(const std::string& relative, int mode, std::int64_t mtime_ns,
                                 std::string& error) const {
  int fd = -1;
  if (relative == ".") {
    fd = dup(root_fd_);
  } else {
    std::string name;
    const Folder parent = open_parent(relative, name, error);
    if (!parent) return false;
    // O_NONBLOCK: a FIFO put in the file's place does not hang the open.
    fd = openat(*parent, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) error = errno == ELOOP ? relative + " is a symbolic link; left alone"
                                       : why(relative.c_str());
  }
  if (fd < 0) return false;
  bool done = true;
  if (mode != kUnknownMode && fchmod(fd, static_cast<mode_t>(mode)) != 0) {
    error = why("chmod");
    done = false;
  }
  if (done && mtime_ns != kUnknownTime) {
    timespec times[2];
    to_times(mtime_ns, times);
    if (futimens(fd, times) != 0) {
      error = why("futimens");
      done = false;
    }
  }
  ::close(fd);
  return done;
}

bool RestoreTarget::replace_with(int parent, const std::string& temporary, const std::string& name,
                                 const std::string& relative, std::string& error) {
  if (renameat(parent, temporary.c_str(), parent, name.c_str()) != 0) {
    error = why(relative.c_str());
    unlinkat(parent, temporary.c_str(), 0);
    return false;
  }
  // Renaming a hard link onto another name of the same file leaves both.
  unlinkat(parent, temporary.c_str(), 0);
  return true;
}

bool RestoreTarget::move_into(const std::string& root_name, const std::string& relative,
                              std::string& error) const {
  std::string name;
  const Folder parent = open_parent(relative, name, error);
  if (!parent) {
    unlinkat(root_fd_, root_name.c_str(), 0);
    return false;
  }
  const bool moved = renameat(root_fd_, root_name.c_str(), *parent, name.c_str()) == 0;
  if (!moved) {
    error = why(relative.c_str());
    unlinkat(root_fd_, root_name.c_str(), 0);
  }
  return moved;
}

bool RestoreTarget::make_symlink(const std::string& relative, const std::string& link_target,
                                 std::int64_t mtime_ns, std::string& error) const {
  std::string name;
  const Folder parent = open_parent(relative, name, error);
  if (!parent) return false;
  const std::string temporary = temporary_name();
  bool done = symlinkat(link_target.c_str(), *parent, temporary.c_str()) == 0;
  if (!done) error = why(relative.c_str());
  done = done && replace_with(*parent, temporary, name, relative, error);
  if (done && mtime_ns != kUnknownTime) {
    timespec times[2];
    to_times(mtime_ns, times);
    if (utimensat(*parent, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
      error = why("utimensat");
      done = false;
    }
  }
  return done;
}

bool RestoreTarget::make_hard_link(const std::string& existing, const std::string& relative,
                                   std::string& error) const {
  std::string existing_name;
  const Folder existing_parent = open_parent(existing, existing_name, error);
  if (!existing_parent) return false;
  std::string name;
  const Folder parent = open_parent(relative, name, error);
  bool done = parent != nullptr;
  const std::string temporary = temporary_name();
  if (done) {
    // Without AT_SYMLINK_FOLLOW: a link put in the first file's place is
    // linked itself, never what it names.
    done = linkat(*existing_parent, existing_name.c_str(), *parent, temporary.c_str(), 0) == 0;
    if (!done) error = why(existing.c_str());
    done = done && replace_with(*parent, temporary, name, relative, error);
  }
  return done;
}
