#include "service/local/clear_folders.h"

bool ClearFolders::contains(const std::string& path, const struct stat& st) const {
  const auto found = folders_.find(path);
  return found != folders_.end() && found->second.dev == st.st_dev &&
         found->second.ino == st.st_ino;
}

void ClearFolders::add(const std::string& path, const struct stat& st) {
  if (path.empty()) return;
  if (folders_.size() >= kFolders && folders_.count(path) == 0) folders_.clear();
  folders_[path] = Identity{st.st_dev, st.st_ino};
}
