#include "service/local/clear_folders.h"

bool ClearFolders::contains(const std::string& path, const struct stat& st) const {
  for (const Folder& folder : folders_) {
    if (!folder.path.empty() && folder.dev == st.st_dev && folder.ino == st.st_ino &&
        folder.path == path) {
      return true;
    }
  }
  return false;
}

void ClearFolders::add(const std::string& path, const struct stat& st) {
  if (path.empty() || contains(path, st)) return;
  Folder& slot = folders_[next_];
  slot.path = path;
  slot.dev = st.st_dev;
  slot.ino = st.st_ino;
  next_ = (next_ + 1) % kFolders;
}
