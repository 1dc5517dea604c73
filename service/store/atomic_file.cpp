#include "service/store/atomic_file.h"

#include <fcntl.h>
#include <sodium.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

bool is_temp_name(std::string_view name) {
  return name.compare(0, sizeof(kTempPrefix) - 1, kTempPrefix) == 0;
}

std::string make_temp_name() {
  unsigned char bytes[8];
  randombytes_buf(bytes, sizeof(bytes));
  char hex[sizeof(bytes) * 2 + 1];
  sodium_bin2hex(hex, sizeof(hex), bytes, sizeof(bytes));
  return std::string(kTempPrefix) + hex;
}

int AtomicFile::create(int dir_fd, const std::string& temp_name, const std::string& target,
                       mode_t mode) {
  discard();
  const int fd = ::openat(dir_fd, temp_name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return errno;
  fd_.reset(fd);
  dir_fd_ = dir_fd;
  temp_ = temp_name;
  target_ = target;
  pending_ = true;
  return 0;
}

int AtomicFile::create_unnamed(int dir_fd, const std::string& target, mode_t mode) {
  discard();
  // Without /proc an unnamed file may not be linkable (see link_unnamed).
  static const bool proc_fds = ::access("/proc/self/fd", X_OK) == 0;
  if (!proc_fds) return EOPNOTSUPP;
  const int fd = ::openat(dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
  if (fd < 0) return errno;
  fd_.reset(fd);
  dir_fd_ = dir_fd;
  target_ = target;
  unnamed_ = true;
  return 0;
}

int AtomicFile::link_unnamed(const std::string& name) {
  // Kernels from 6.10 link a file the caller opened itself directly;
  // older ones want a capability for that, and take the /proc path.
  static std::atomic<bool> direct{true};
  if (direct.load(std::memory_order_relaxed)) {
    if (::linkat(fd_.get(), "", dir_fd_, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
    if (errno != EPERM && errno != ENOENT && errno != EINVAL) return errno;
    direct.store(false, std::memory_order_relaxed);
  }
  const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
  return ::linkat(AT_FDCWD, self.c_str(), dir_fd_, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0
                                                                                            : errno;
}

int AtomicFile::name(const std::string& temp_name) {
  if (const int err = link_unnamed(temp_name)) return err;
  temp_ = temp_name;
  unnamed_ = false;
  pending_ = true;
  return 0;
}

int AtomicFile::sync() {
  if (::fsync(fd_.get()) != 0) return errno;
  return ::close(fd_.release()) == 0 ? 0 : errno;
}

int AtomicFile::place(bool replace) {
  if (unnamed_) {
    const int err = link_unnamed(target_);
    if (err == 0) discard();  // the data lives on under the target's name
    return err;
  }
  const int err = rename_into_place(replace);
  if (err != 0) {
    discard();
    return err;
  }
  pending_ = false;
  return 0;
}

int AtomicFile::rename_into_place(bool replace) {
  if (replace) {
    return ::renameat(dir_fd_, temp_.c_str(), dir_fd_, target_.c_str()) == 0 ? 0 : errno;
  }
  if (::renameat2(dir_fd_, temp_.c_str(), dir_fd_, target_.c_str(), RENAME_NOREPLACE) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system without RENAME_NOREPLACE: a hard link fails just as
  // atomically when the target exists.
  if (::linkat(dir_fd_, temp_.c_str(), dir_fd_, target_.c_str(), 0) != 0) return errno;
  ::unlinkat(dir_fd_, temp_.c_str(), 0);
  return 0;
}

void AtomicFile::discard() {
  fd_.reset();
  unnamed_ = false;
  if (pending_) {
    ::unlinkat(dir_fd_, temp_.c_str(), 0);
    pending_ = false;
  }
}
