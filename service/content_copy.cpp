#include "service/content_copy.h"

#include <sodium.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "service/progress_reporter.h"

namespace {

constexpr std::size_t kChunkBytes = 256 * 1024;

[[noreturn]] void fail(ErrorCode code, int err, const char* what) {
  throw_errno((err == ENOSPC || err == EDQUOT) ? kDiskFull : code, err, what);
}

void write_all(int fd, const unsigned char* data, std::size_t size, ErrorCode code) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(code, errno, "write");
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

CopyResult copy_content(int src, int dst, ProgressReporter& progress, ErrorCode read_code,
                        ErrorCode write_code) {
  std::vector<unsigned char> buffer(kChunkBytes);
  crypto_hash_sha256_state sha;
  crypto_hash_sha256_init(&sha);
  CopyResult result;
  for (;;) {
    const ssize_t n = ::read(src, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(read_code, errno, "read");
    }
    if (n == 0) break;
    crypto_hash_sha256_update(&sha, buffer.data(), static_cast<unsigned long long>(n));
    write_all(dst, buffer.data(), static_cast<std::size_t>(n), write_code);
    result.bytes += static_cast<std::uint64_t>(n);
    progress.advance(result.bytes);
  }
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256_final(&sha, digest);
  char hex[sizeof(digest) * 2 + 1];
  sodium_bin2hex(hex, sizeof(hex), digest, sizeof(digest));
  result.sha256 = hex;
  return result;
}
