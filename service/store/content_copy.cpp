#include "service/store/content_copy.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "service/fd_write.h"
#include "service/net/progress_reporter.h"
#include "util/sha256.h"

namespace {

constexpr std::size_t kChunkBytes = 256 * 1024;

[[noreturn]] void fail(ErrorCode code, int err, const char* what) {
  throw_errno((err == ENOSPC || err == EDQUOT) ? kDiskFull : code, err, what);
}

void write_all_or_fail(int fd, const unsigned char* data, std::size_t size, ErrorCode code) {
  if (!write_all(fd, data, size)) fail(code, errno, "write");
}

}  // namespace

namespace {

// Reads `src` to its end (or until `max` bytes are read), hashing when asked
// and handing each chunk to `sink`.
template <typename Sink>
CopyResult read_chunks(int src, ProgressReporter& progress, ErrorCode read_code, Hashing hashing,
                       std::uint64_t max, Sink&& sink, std::uint64_t done_before = 0) {
  // One buffer per session thread, reused by every transfer: each byte is
  // read once, hashed from the buffer and written from it.
  thread_local std::vector<unsigned char> buffer(kChunkBytes);
  Sha256 sha;
  CopyResult result;
  while (result.bytes < max) {
    const std::uint64_t room = max - result.bytes;
    const ssize_t n = ::read(src, buffer.data(), room < buffer.size() ? room : buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(read_code, errno, "read");
    }
    if (n == 0) break;
    if (hashing == Hashing::kSha256) sha.update(buffer.data(), static_cast<std::size_t>(n));
    sink(buffer.data(), static_cast<std::size_t>(n));
    result.bytes += static_cast<std::uint64_t>(n);
    progress.advance(done_before + result.bytes);
  }
  if (hashing == Hashing::kSha256) result.sha256 = sha.hex();
  return result;
}

}  // namespace

CopyResult copy_content(int src, int dst, ProgressReporter& progress, ErrorCode read_code,
                        ErrorCode write_code, Hashing hashing, std::uint64_t done_before) {
  return read_chunks(
      src, progress, read_code, hashing, UINT64_MAX,
      [&](const unsigned char* data, std::size_t size) {
        write_all_or_fail(dst, data, size, write_code);
      },
      done_before);
}

CopyResult read_content_into(
    int src, ProgressReporter& progress, ErrorCode read_code,
    const std::function<void(const unsigned char* data, std::size_t size)>& sink) {
  return read_chunks(src, progress, read_code, Hashing::kSha256, UINT64_MAX, sink);
}

std::uint64_t write_bytes(const std::string& bytes, int dst, ProgressReporter& progress,
                          ErrorCode write_code) {
  write_all_or_fail(dst, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                    write_code);
  progress.advance(bytes.size());
  return bytes.size();
}

CopyResult copy_content_unless_full(int src, int dst, ProgressReporter& progress,
                                    ErrorCode read_code, bool* full) {
  return read_chunks(src, progress, read_code, Hashing::kSha256, UINT64_MAX,
                     [&](const unsigned char* data, std::size_t size) {
                       if (*full) return;
                       try {
                         write_all_or_fail(dst, data, size, kInternal);
                       } catch (const ServiceError& e) {
                         if (e.code() != kDiskFull) throw;
                         *full = true;
                         if (::ftruncate(dst, 0) != 0) throw;
                       }
                     });
}

CopyResult read_content(int src, std::uint64_t max, std::string* out, ProgressReporter& progress,
                        ErrorCode read_code) {
  out->clear();
  return read_chunks(src, progress, read_code, Hashing::kSha256, max,
                     [&](const unsigned char* data, std::size_t size) {
                       out->append(reinterpret_cast<const char*>(data), size);
                     });
}
