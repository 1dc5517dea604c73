#include "cli/local/file_hash.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/sha256.h"

namespace {

constexpr std::size_t kBufferSize = 1 << 20;

}  // namespace

FileHasher::FileHasher() : buffer_(new unsigned char[kBufferSize]) {}

FileHasher::~FileHasher() = default;

bool FileHasher::hash(const std::string& path, FileHash& hash, std::string& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  Sha256 digest;
  hash.size = 0;
  for (;;) {
    const ssize_t got = read(fd, buffer_.get(), kBufferSize);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = std::strerror(errno);
      close(fd);
      return false;
    }
    if (got == 0) break;
    // A file longer than one buffer is read on to its end: read ahead more.
    // (Most files fit in one read, and the advice would cost them a call.)
    if (hash.size == 0 && static_cast<std::size_t>(got) == kBufferSize) {
      posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    digest.update(buffer_.get(), static_cast<std::size_t>(got));
    hash.size += static_cast<std::uint64_t>(got);
  }
  close(fd);
  hash.sha256 = Digest::from_hex(digest.hex());
  return true;
}

bool hash_file(const std::string& path, FileHash& hash, std::string& error) {
  thread_local FileHasher hasher;
  return hasher.hash(path, hash, error);
}
