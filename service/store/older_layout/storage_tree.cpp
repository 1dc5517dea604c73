#include "service/store/older_layout/storage_tree.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "service/errors.h"
#include "service/log.h"

namespace {

// Opens directory `name` below `dir_fd`, making it first when asked.
UniqueFd open_child_dir(int dir_fd, const std::string& name, bool create) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int fd = ::openat(dir_fd, name.c_str(), kDirFlags);
    if (fd >= 0) return UniqueFd(fd);
    const int err = errno;
    if (err == ENOENT && create && attempt == 0) {
      if (::mkdirat(dir_fd, name.c_str(), 0700) != 0 && errno != EEXIST) {
        throw_errno(storage_error_code(errno, kInternal), errno, "mkdir " + log_safe(name));
      }
      ::fsync(dir_fd);
      continue;
    }
    if (err == ENOTDIR || err == ELOOP) {
      if (entry_kind(dir_fd, name) == EntryKind::kSymlink) {
        throw ServiceError(kInvalidPath, "symbolic link in storage path: " + log_safe(name));
      }
      throw ServiceError(kNotADirectory, "not a directory: " + log_safe(name));
    }
    throw_errno(storage_error_code(err, kInternal), err, "open " + log_safe(name));
  }
  throw ServiceError(kNotFound, "vanished: " + log_safe(name));
}

}  // namespace

std::string user_dir_name(std::int64_t user_id) { return "u" + std::to_string(user_id); }

std::string project_dir_name(const std::string& project) {
  if (project.empty()) return "default";
  static const char kHex[] = "0123456789abcdef";
  std::string out = "p-";
  for (const char c : project) {
    const auto b = static_cast<unsigned char>(c);
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

UniqueFd open_user_tree(int data_fd, const Binding& binding, bool create) {
  const UniqueFd user = open_child_dir(data_fd, user_dir_name(binding.user_id), create);
  return open_child_dir(user.get(), project_dir_name(binding.project), create);
}

UniqueFd open_storage_dir(int dir_fd, const StoragePath& path, std::size_t count, bool create,
                          std::size_t from) {
  UniqueFd dir(::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0));
  if (!dir.valid()) throw_errno(kInternal, errno, "dup");
  for (std::size_t i = from; i < count; ++i) {
    dir = open_child_dir(dir.get(), path.parts[i], create);
  }
  return dir;
}

EntryKind entry_kind(int dir_fd, const std::string& name, struct stat* st) {
  struct stat local;
  struct stat* s = st ? st : &local;
  if (::fstatat(dir_fd, name.c_str(), s, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return EntryKind::kMissing;
    throw_errno(storage_error_code(errno, kInternal), errno, "stat " + log_safe(name));
  }
  if (S_ISREG(s->st_mode)) return EntryKind::kFile;
  if (S_ISDIR(s->st_mode)) return EntryKind::kDirectory;
  if (S_ISLNK(s->st_mode)) return EntryKind::kSymlink;
  return EntryKind::kOther;
}
