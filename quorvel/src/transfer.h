// The copying half of an upload or a download: the source is copied into a
// new temporary file in 1 MiB chunks with progress reports, and the caller
// then renames the temporary file over its target.
#ifndef QUORVEL_SRC_TRANSFER_H_
#define QUORVEL_SRC_TRANSFER_H_

#include <cstdint>
#include <filesystem>

#include "quorvel/Quorvel.h"

namespace quorvel {

constexpr std::size_t kChunkBytes = 1 << 20;

// A temporary file's path, removed on destruction unless released.
class TempFile {
 public:
  // A new, unused name in `folder`: ".quorvel-<random hex>.part".
  explicit TempFile(const std::filesystem::path& folder);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // After a successful rename there is nothing left to remove.
  void Release() { released_ = true; }

 private:
  std::filesystem::path path_;
  bool released_ = false;
};

// Copies `source`, of `total` bytes, into the new file `target`, written
// through to the disk. When `progress` is not null it is called with
// (total, 0) first and with (total, completed) after every chunk; a non-zero
// return stops the copy. QV_OK, QV_E_CANCELLED, or QV_E_IO (also when the
// source no longer has `total` bytes).
int CopyWithProgress(const std::filesystem::path& source, std::uint64_t total,
                     const std::filesystem::path& target, QV_ProgressFunc progress, void* context);

}  // namespace quorvel

#endif  // QUORVEL_SRC_TRANSFER_H_
