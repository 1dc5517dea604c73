// Plans and the space they allow. Plan 0 allows 100 MiB and every further
// plan four times the one before, up to plan kTopPlan (6400 MiB).
#ifndef QUORVEL_SRC_QUOTA_H_
#define QUORVEL_SRC_QUOTA_H_

#include <cstdint>
#include <filesystem>

namespace quorvel {

constexpr int kTopPlan = 3;

std::uint64_t PlanQuota(int plan);

// The bytes of all regular files under `files`; links and other entries do
// not count. QV_OK or QV_E_IO.
int UsedSpace(const std::filesystem::path& files, std::uint64_t* used);

}  // namespace quorvel

#endif  // QUORVEL_SRC_QUOTA_H_
