#include "cli/remote/remote_tree.h"

#include <algorithm>
#include <list>
#include <optional>

#include "cli/free_memory.h"
#include "cli/manifest/manifest.h"
#include "cli/remote/backup_lock.h"
#include "cli/remote/history.h"
#include "cli/remote/storage_path.h"
#include "cli/text.h"

bool is_safe_relative(const std::string& relative) {
  std::size_t from = 0;
  for (;;) {
    const std::size_t cut = relative.find('/', from);
    const std::string part = relative.substr(from, cut - from);
    if (part.empty() || part == "." || part == "..") return false;
    if (cut == std::string::npos) return true;
    from = cut + 1;
  }
}

int list_remote_tree(Session& session, const std::string& remote_root, RemoteTree& tree) {
  std::list<_path_buffer*> listing;
  const int status = session.client().getfilelist(widen(remote_root).c_str(), true, listing);
  // A listing of the top shows the service's folder of earlier versions,
  // which belongs to no backup.
  const bool top = to_storage_path(remote_root) == "\\";
  tree.entries.reserve(tree.entries.size() + listing.size());  // not twice that, as grown
  for (const _path_buffer* item : listing) {
    if (!item) continue;
    const std::string full = narrow(item->full_path);
    const std::optional<std::string> relative = storage_relative(full, remote_root);
    if (!relative || relative->empty() || (top && in_history(full))) continue;
    if (*relative == kManifestName && item->is_dir != 1) {
      tree.has_manifest = true;
    } else if (*relative == kLockName && item->is_dir != 1) {
      continue;  // a backup running (backup_lock.h); no backup's file
    } else if (!is_safe_relative(*relative)) {
      tree.unsafe.push_back(full);
    } else {
      tree.entries.push_back(RemoteEntry{*relative, item->is_dir == 1});
    }
  }
  session.client().releasefilelist(listing);
  // The listing took some 160 bytes in three blocks per entry, freed now
  // between blocks still held.
  give_back_free_memory();
  std::sort(tree.entries.begin(), tree.entries.end(),
            [](const RemoteEntry& a, const RemoteEntry& b) { return a.relative < b.relative; });
  return status;
}

EntryKind entry_kind(Session& session, const std::string& path) {
  if (path == "\\") return EntryKind::kDirectory;
  const std::size_t cut = path.find_last_of('\\');
  const std::string parent = cut == 0 ? "\\" : path.substr(0, cut);
  std::list<_path_buffer*> entries;
  EntryKind kind = EntryKind::kUnknown;
  CBrevanto& client = session.client();
  if (client.getfilelist(widen(parent).c_str(), false, entries) == 0) {
    for (const _path_buffer* entry : entries) {
      if (entry && to_storage_path(narrow(entry->full_path)) == path) {
        kind = entry->is_dir == 1 ? EntryKind::kDirectory : EntryKind::kFile;
      }
    }
  }
  client.releasefilelist(entries);
  return kind;
}
