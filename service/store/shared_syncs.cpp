#include "service/store/shared_syncs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <utility>

std::vector<int> sync_folders(const std::vector<int>& fds) {
  std::vector<int> errs(fds.size(), 0);
  // The members of each folder, by device and inode: folders reached by
  // different descriptors are still synced once.
  std::map<std::pair<dev_t, ino_t>, std::vector<std::size_t>> folders;
  for (std::size_t i = 0; i < fds.size(); ++i) {
    struct stat st;
    if (::fstat(fds[i], &st) != 0) {
      errs[i] = errno;
      continue;
    }
    folders[{st.st_dev, st.st_ino}].push_back(i);
  }
  for (const auto& folder : folders) {
    const std::vector<std::size_t>& members = folder.second;
    const int err = ::fsync(fds[members.front()]) == 0 ? 0 : errno;
    for (const std::size_t i : members) errs[i] = err;
  }
  return errs;
}
