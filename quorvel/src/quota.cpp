#include "quota.h"

#include <system_error>

#include "local_fs.h"
#include "quorvel/Quorvel.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kPlanZeroQuota = 100ULL << 20;

int AddFolder(const fs::path& folder, std::uint64_t* used) {
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const fs::path& path = it->path();
    const EntryKind kind = Classify(path, error);
    if (error) return QV_E_IO;
    if (kind == EntryKind::kDirectory) {
      const int result = AddFolder(path, used);
      if (result != QV_OK) return result;
    } else if (kind == EntryKind::kFile) {
      const std::uintmax_t size = fs::file_size(path, error);
      if (error) return QV_E_IO;
      *used += size;
    }
  }
  return error ? QV_E_IO : QV_OK;
}

}  // namespace

std::uint64_t PlanQuota(int plan) { return kPlanZeroQuota << (2 * plan); }

int UsedSpace(const fs::path& files, std::uint64_t* used) {
  *used = 0;
  return AddFolder(files, used);
}

}  // namespace quorvel
