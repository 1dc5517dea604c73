// Copying file content for a transfer, hashing it with SHA-256 and
// reporting progress on the way.
#ifndef BREVANTO_SERVICE_STORE_CONTENT_COPY_H_
#define BREVANTO_SERVICE_STORE_CONTENT_COPY_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "service/errors.h"

class ProgressReporter;

struct CopyResult {
  std::uint64_t bytes = 0;
  std::string sha256;  // lower-case hex, when asked for
};

enum class Hashing { kSha256, kSkip };

// Copies `src` from its current offset to its end into `dst`. A failed read
// throws ServiceError(read_code) and a failed write ServiceError(write_code),
// kDiskFull for a full disk either way; `progress` may throw as well. The
// progress counts `done_before` bytes of the transfer done before these.
CopyResult copy_content(int src, int dst, ProgressReporter& progress, ErrorCode read_code,
                        ErrorCode write_code, Hashing hashing, std::uint64_t done_before = 0);

// Writes `bytes` to `dst` as copy_content() writes what it reads, with the
// same progress and errors.
std::uint64_t write_bytes(const std::string& bytes, int dst, ProgressReporter& progress,
                          ErrorCode write_code);

// copy_content() into a content being stored, where a full disk (ENOSPC,
// EDQUOT) stops only the writing: the rest of `src` is read and hashed
// all the same, `dst` is cut to nothing to give its space back, and
// `*full` is set. With `*full` set at the start nothing is written: the
// content is only hashed. Either way each byte is read once.
CopyResult copy_content_unless_full(int src, int dst, ProgressReporter& progress,
                                    ErrorCode read_code, bool* full);

// Reads and hashes `src` from its current offset to its end, handing the
// bytes to `sink` a block at a time. Throws like copy_content(), and what
// `sink` throws.
CopyResult read_content_into(
    int src, ProgressReporter& progress, ErrorCode read_code,
    const std::function<void(const unsigned char* data, std::size_t size)>& sink);

// Reads and hashes `src` from its current offset into `out`: to its end,
// or `max` bytes when it has more. Throws like copy_content().
CopyResult read_content(int src, std::uint64_t max, std::string* out, ProgressReporter& progress,
                        ErrorCode read_code);

#endif  // BREVANTO_SERVICE_STORE_CONTENT_COPY_H_
