#include "transfer.h"

#include <fstream>
#include <system_error>
#include <vector>

#include "local_fs.h"
#include "random_bytes.h"

namespace quorvel {

TempFile::TempFile(const std::filesystem::path& folder)
    : path_(folder / (".quorvel-" + ToHex(RandomBytes(12)) + ".part")) {}

TempFile::~TempFile() {
  if (released_) return;
  std::error_code error;
  std::filesystem::remove(path_, error);
}

int CopyWithProgress(const std::filesystem::path& source, std::uint64_t total,
                     const std::filesystem::path& target, QV_ProgressFunc progress, void* context) {
  std::ifstream in(source, std::ios::binary);
  if (!in) return QV_E_IO;
  OutputFile out;
  if (!out.Create(target)) return QV_E_IO;

  const auto report = [&](std::uint64_t completed) {
    return progress != nullptr && progress(static_cast<std::int64_t>(total),
                                           static_cast<std::int64_t>(completed), context) != 0;
  };
  if (report(0)) return QV_E_CANCELLED;

  std::vector<char> chunk(kChunkBytes);
  std::uint64_t completed = 0;
  while (completed < total) {
    const std::uint64_t left = total - completed;
    const std::size_t want = left < chunk.size() ? static_cast<std::size_t>(left) : chunk.size();
    in.read(chunk.data(), static_cast<std::streamsize>(want));
    if (static_cast<std::size_t>(in.gcount()) != want) return QV_E_IO;  // the source shrank
    if (!out.Write(chunk.data(), want)) return QV_E_IO;
    completed += want;
    if (report(completed)) return QV_E_CANCELLED;
  }
  if (in.peek() != std::ifstream::traits_type::eof()) return QV_E_IO;  // the source grew
  return out.Commit() ? QV_OK : QV_E_IO;
}

}  // namespace quorvel
