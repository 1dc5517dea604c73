#include "service/local/local_paths.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "service/errors.h"
#include "service/log.h"

namespace {

// Folders passed through: searching them is enough, as for any lookup.
constexpr int kPassFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Most directories a download makes on its way to the file.
constexpr int kMaxNewDirs = 32;

[[noreturn]] void refuse(const std::string& why, const std::string& path) {
  throw ServiceError(kLocalRefused, why + ": " + log_safe(path));
}

// realpath(), or an empty string with errno set.
std::string resolve(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

bool plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.size() <= NAME_MAX;
}

// True when `path` is `dir` or lies below it; both are realpaths.
bool within(const std::string& path, const std::string& dir) {
  if (path == dir) return true;
  const std::string prefix = dir == "/" ? dir : dir + "/";
  return path.compare(0, prefix.size(), prefix) == 0;
}

// True when `rel` is one or more plain names joined by single slashes:
// nothing that a resolution could read otherwise than as written.
bool plain_relative(const std::string& rel) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = rel.find('/', start);
    const std::string part = rel.substr(start, end == std::string::npos ? end : end - start);
    if (!plain_name(part)) return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

// The identity of the folder `dir` and of its parent; false when either
// cannot be had.
bool identities(int dir, struct stat* self, UniqueFd* parent, struct stat* up) {
  if (::fstat(dir, self) != 0) return false;
  parent->reset(::openat(dir, "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
  return parent->valid() && ::fstat(parent->get(), up) == 0;
}

// True when the folder `root` is `path` or one of the folders above it.
bool holds(const struct stat& root, const std::string& path) {
  UniqueFd current(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  for (int depth = 0; current.valid() && depth < 4096; ++depth) {
    struct stat self, up;
    UniqueFd parent;
    if (!identities(current.get(), &self, &parent, &up)) return true;  // cannot tell: walk
    if (self.st_dev == root.st_dev && self.st_ino == root.st_ino) return true;
    if (self.st_dev == up.st_dev && self.st_ino == up.st_ino) return false;
    current = std::move(parent);
  }
  return true;
}

}  // namespace

bool LocalRoots::in_storage_root(int dir, int* err) const {
  // Up the chain of parents to "/", which is its own parent. A folder has
  // one parent, so a folder inside the storage root meets it on the way,
  // however its path was spelt.
  *err = 0;
  UniqueFd held;
  int current = dir;
  for (int depth = 0; depth < 4096; ++depth) {
    struct stat self, up;
    UniqueFd parent;
    if (!identities(current, &self, &parent, &up)) {
      *err = errno;
      return true;
    }
    if (self.st_dev == storage_dev_ && self.st_ino == storage_ino_) return true;
    if (self.st_dev == up.st_dev && self.st_ino == up.st_ino) return false;
    // Below a local root that does not hold the storage root, the walk can
    // stop: the storage root would have come first (or the local root
    // would be inside it, which is refused at start).
    for (const auto& root : clear_roots_) {
      if (self.st_dev == root.first && self.st_ino == root.second) return false;
    }
    held = std::move(parent);
    current = held.get();
  }
  *err = ELOOP;
  return true;
}

void LocalRoots::check_outside_storage(int dir, const std::string& dir_path,
                                       const std::string& path, ClearFolders* clear) const {
  struct stat st;
  const bool known = clear != nullptr && ::fstat(dir, &st) == 0;
  if (known && clear->contains(dir_path, st)) return;
  int err = 0;
  if (!in_storage_root(dir, &err)) {
    if (known) clear->add(dir_path, st);
    return;
  }
  if (err != 0) throw_errno(kLocalRefused, err, "local folders above " + log_safe(path));
  refuse("in the storage root", path);
}

UniqueFd LocalRoots::open_in(UniqueFd dir, const std::string& dir_path,
                             const std::string& name, int flags, const std::string& path,
                             ClearFolders* clear) const {
  // A file is judged by its folder, before it is opened; a folder by
  // itself (and so by every folder above it).
  const bool folder = (flags & O_DIRECTORY) != 0;
  if (!folder) check_outside_storage(dir.get(), dir_path, path, clear);
  if (!name.empty()) {
    const int fd = ::openat(dir.get(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throw_errno(local_error_code(errno), errno, "open local " + log_safe(path));
    dir.reset(fd);
  }
  if (folder) check_outside_storage(dir.get(), path, path, clear);
  return dir;
}

UniqueFd LocalRoots::open_plain(const std::string& path, int flags,
                                ClearFolders* clear) const {
  if (path.size() < 2 || path[0] != '/' || within(path, storage_root_)) return UniqueFd();
  const std::string* best = nullptr;
  for (const std::string& root : roots_) {
    if (path != root && within(path, root) && (best == nullptr || root.size() > best->size())) {
      best = &root;
    }
  }
  if (best == nullptr) return UniqueFd();
  const std::string rel = path.substr(best->size() == 1 ? 1 : best->size() + 1);
  if (!plain_relative(rel)) return UniqueFd();
  open_how how{};
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  if ((flags & O_DIRECTORY) != 0) {
    // A folder is judged by itself, as open_in() judges it; opening one
    // does nothing, so it is opened in one step.
    how.flags = static_cast<std::uint64_t>(flags | O_NOFOLLOW | O_CLOEXEC);
    const long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof(how));
    if (fd < 0) return UniqueFd();
    UniqueFd opened(static_cast<int>(fd));
    check_outside_storage(opened.get(), path, path, clear);
    return opened;
  }
  // A file is judged by its folder before it is opened: the folder in one
  // step, then the name in it.
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  const long fd = ::syscall(SYS_openat2, AT_FDCWD, dir.c_str(), &how, sizeof(how));
  if (fd < 0) return UniqueFd();
  const UniqueFd folder(static_cast<int>(fd));
  check_outside_storage(folder.get(), dir, path, clear);
  const std::string name = path.substr(slash + 1);
  return UniqueFd(::openat(folder.get(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
}

LocalRoots::LocalRoots(const std::vector<std::string>& dirs, const std::string& storage_root) {
  storage_root_ = resolve(storage_root);
  if (storage_root_.empty()) throw std::runtime_error("cannot resolve " + storage_root);
  struct stat st;
  if (::stat(storage_root_.c_str(), &st) != 0) {
    throw std::runtime_error("cannot stat " + storage_root);
  }
  storage_dev_ = st.st_dev;
  storage_ino_ = st.st_ino;
  narrowed_ = !dirs.empty();
  for (const std::string& dir : narrowed_ ? dirs : std::vector<std::string>{"/"}) {
    const std::string resolved = resolve(dir);
    const UniqueFd fd(resolved.empty() ? -1
                                       : ::open(resolved.c_str(),
                                                O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) throw std::runtime_error("local root is not a directory: " + dir);
    int err = 0;
    if (within(resolved, storage_root_) || in_storage_root(fd.get(), &err)) {
      throw std::runtime_error("local root inside the storage root: " + dir);
    }
    if (log_safe(resolved) != resolved || resolved.find('"') != std::string::npos) {
      throw std::runtime_error("local root with a double quote or control byte: " + dir);
    }
    roots_.push_back(resolved);
    struct stat root_st;
    if (::fstat(fd.get(), &root_st) == 0 && !holds(root_st, storage_root_)) {
      clear_roots_.emplace_back(root_st.st_dev, root_st.st_ino);
    }
  }
  if (!narrowed_) {
    refusal_text_ =
        "local path refused (allowed: what the client's user may reach, outside the storage "
        "root)";
    return;
  }
  // Within one reply of at most 4096 bytes, with room for its frame.
  constexpr std::size_t kMaxRefusalBytes = 3800;
  refusal_text_ = "local path refused (allowed: ";
  for (std::size_t i = 0; i < roots_.size(); ++i) {
    const std::string part = (i > 0 ? ", " : "") + roots_[i];
    if (refusal_text_.size() + part.size() > kMaxRefusalBytes) {
      refusal_text_ += ", ...";
      break;
    }
    refusal_text_ += part;
  }
  refusal_text_ += ")";
}

bool LocalRoots::contains(const std::string& resolved, bool allow_root) const {
  if (within(resolved, storage_root_)) return false;
  for (const std::string& root : roots_) {
    if ((allow_root && resolved == root) || (resolved != root && within(resolved, root))) {
      return true;
    }
  }
  return false;
}

UniqueFd LocalRoots::walk(const std::string& resolved, int last_flags,
                          ClearFolders* clear) const {
  // The longest root that holds the path; its components need no check.
  const std::string* best = nullptr;
  for (const std::string& root : roots_) {
    if (within(resolved, root) && (best == nullptr || root.size() > best->size())) best = &root;
  }
  if (best == nullptr) refuse("outside every local root", resolved);
  UniqueFd dir(::open(best->c_str(), kPassFlags));
  if (!dir.valid()) throw_errno(local_error_code(errno), errno, "open local root " + *best);
  if (resolved == *best) return open_in(std::move(dir), resolved, "", last_flags, resolved, clear);

  std::size_t start = best->size() == 1 ? 1 : best->size() + 1;
  for (;;) {
    std::size_t end = resolved.find('/', start);
    const bool last = end == std::string::npos;
    if (last) end = resolved.size();
    const std::string part = resolved.substr(start, end - start);
    if (last) {
      const std::string dir_path = start == 1 ? "/" : resolved.substr(0, start - 1);
      return open_in(std::move(dir), dir_path, part, last_flags, resolved, clear);
    }
    const int fd = ::openat(dir.get(), part.c_str(), kPassFlags);
    if (fd < 0) throw_errno(local_error_code(errno), errno, "open local " + log_safe(resolved));
    dir.reset(fd);
    start = end + 1;
  }
}

LocalRoots::Source LocalRoots::open_source(const std::string& path, const LocalUser& user,
                                           ClearFolders* clear) const {
  if (path.empty() || path[0] != '/') refuse("local path not absolute", path);
  const ActingAs as(user);
  // O_NONBLOCK keeps a FIFO from blocking the open; it is refused below,
  // and a regular file's reads ignore the flag.
  constexpr int kSourceFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
  Source source;
  source.fd = open_plain(path, kSourceFlags, clear);
  if (!source.fd.valid()) {
    const std::string resolved = resolve(path);
    if (resolved.empty()) throw_errno(kLocalRefused, errno, "local path " + log_safe(path));
    if (!contains(resolved, false)) refuse("outside every local root", path);
    source.fd = walk(resolved, kSourceFlags, clear);
  }
  if (::fstat(source.fd.get(), &source.st) != 0 || !S_ISREG(source.st.st_mode)) {
    refuse("not a regular file", path);
  }
  return source;
}

LocalRoots::CheckedTarget LocalRoots::check_target(const std::string& path,
                                                   const LocalUser& user,
                                                   ClearFolders* clear) const {
  if (path.empty() || path[0] != '/') refuse("local path not absolute", path);
  const std::size_t slash = path.rfind('/');
  CheckedTarget plan;
  plan.user = user;
  plan.name = path.substr(slash + 1);
  if (!plain_name(plan.name)) refuse("bad local file name", path);
  const ActingAs as(user);

  // Climb to the nearest ancestor that exists; what lies above the file
  // but does not exist yet must be plain names.
  std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  plan.ancestor = open_plain(parent, kDirFlags, clear);
  if (plan.ancestor.valid()) {
    plan.resolved = parent;
    return plan;
  }
  for (;;) {
    plan.resolved = resolve(parent);
    if (!plan.resolved.empty()) break;
    if (errno != ENOENT || plan.missing.size() >= kMaxNewDirs) {
      throw_errno(kLocalRefused, errno, "local path " + log_safe(path));
    }
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    const std::size_t cut = parent.rfind('/');
    const std::string part = parent.substr(cut + 1);
    if (!plain_name(part)) refuse("bad local directory name", path);
    plan.missing.insert(plan.missing.begin(), part);
    parent = cut == 0 ? "/" : parent.substr(0, cut);
  }
  if (!contains(plan.resolved, true)) refuse("outside every local root", path);
  plan.ancestor = walk(plan.resolved, kDirFlags, clear);
  return plan;
}

LocalRoots::Target LocalRoots::open_target(CheckedTarget checked) const {
  const ActingAs as(checked.user);
  Target target;
  target.name = std::move(checked.name);
  target.dir = std::move(checked.ancestor);
  target.dir_path = std::move(checked.resolved);
  for (const std::string& part : checked.missing) {
    if (::mkdirat(target.dir.get(), part.c_str(), 0777) != 0 && errno != EEXIST) {
      throw_errno(local_error_code(errno), errno, "mkdir local " + log_safe(target.dir_path));
    }
    const int fd = ::openat(target.dir.get(), part.c_str(), kDirFlags);
    if (fd < 0) throw_errno(kLocalRefused, errno, "open local " + log_safe(target.dir_path));
    target.dir.reset(fd);
    target.dir_path += (target.dir_path == "/" ? "" : "/") + part;
  }
  return target;
}
