#include "cli/remote/backup_root.h"

#include <algorithm>

#include "cli/manifest/manifest.h"
#include "cli/remote/history.h"
#include "cli/remote/storage_path.h"
#include "cli/text.h"

std::string storage_parent(const std::string& path) {
  return path.substr(0, std::max<std::size_t>(path.rfind('\\'), 1));
}

std::string nearest_backup_root(Session& session, std::string dir) {
  const std::string top = tree_top(dir);
  for (;;) {
    if (session.client().is_path_exists(widen(storage_join(dir, kManifestName)).c_str())) {
      return dir;
    }
    if (dir == top || dir == "\\") return std::string();
    dir = storage_parent(dir);
  }
}
