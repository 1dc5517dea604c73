#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "local_fs.h"

namespace quorvel {

EntryKind Classify(const std::filesystem::path& path, std::error_code& error) {
  error.clear();
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return EntryKind::kMissing;
    error.assign(errno, std::generic_category());
    return EntryKind::kMissing;
  }
  if (S_ISLNK(st.st_mode)) return EntryKind::kLink;
  if (S_ISDIR(st.st_mode)) return EntryKind::kDirectory;
  if (S_ISREG(st.st_mode)) return EntryKind::kFile;
  return EntryKind::kOther;
}

bool ReadTimes(const std::filesystem::path& path, EntryTimes* times) {
#ifdef STATX_BTIME
  struct statx stx;
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_MTIME | STATX_BTIME, &stx) == 0) {
    times->modified = stx.stx_mtime.tv_sec;
    times->created = (stx.stx_mask & STATX_BTIME) ? stx.stx_btime.tv_sec : times->modified;
    return true;
  }
#endif
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return false;
  times->modified = st.st_mtime;
  times->created = st.st_mtime;
  return true;
}

OutputFile::~OutputFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool OutputFile::Create(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  handle_ = fd;
  return true;
}

bool OutputFile::Write(const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(static_cast<int>(handle_), bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool OutputFile::Commit() {
  const int fd = static_cast<int>(handle_);
  handle_ = -1;
  const bool synced = ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  return synced && closed;
}

bool MoveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to, bool replace,
                   std::error_code& error) {
  error.clear();
  if (replace) {
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    error.assign(errno, std::generic_category());
    return false;
  }
  // A hard link fails on an existing target, so nothing is replaced.
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return true;
  }
  if (errno == EEXIST) {
    error = std::make_error_code(std::errc::file_exists);
    return false;
  }
  // File systems without hard links: test, then rename.
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0) {
    error = std::make_error_code(std::errc::file_exists);
    return false;
  }
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  error.assign(errno, std::generic_category());
  return false;
}

}  // namespace quorvel
