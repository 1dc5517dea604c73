#include "cli/manifest/manifest_diff.h"

#include <algorithm>
#include <map>

namespace {

enum class Kind { kFile, kDir, kLink };

struct Item {
  Kind kind = Kind::kFile;
  std::uint64_t size = 0;
  std::string content;  // a file's SHA-256, a link's target
  int mode = kUnknownMode;
  bool size_known = true;  // a damaged manifest line may have lost it
};

// Every path of the manifest with what is compared; "" for the backed-up
// directory itself.
std::map<std::string, Item> items_of(const Manifest& manifest) {
  std::map<std::string, Item> items;
  for (const ManifestDir& dir : manifest.dirs) {
    items[dir.path == "." ? std::string() : dir.path] = Item{Kind::kDir, 0, {}, dir.mode};
  }
  for (const ManifestEntry& file : manifest.files) {
    items[file.path] =
        Item{Kind::kFile, file.size, file.sha256.hex(), file.mode, (file.lost & kLostSize) == 0};
  }
  for (const ManifestLink& link : manifest.links) {
    items[link.path] = Item{Kind::kLink, 0, link.target, kUnknownMode};
  }
  return items;
}

std::string shown(const std::string& path, Kind kind) {
  if (path.empty()) return "/";
  return "/" + path + (kind == Kind::kDir ? "/" : "");
}

// Counts `item` as added (or removed).
void count(const Item& item, bool added, DiffCounts& counts) {
  switch (item.kind) {
    case Kind::kFile:
      ++(added ? counts.new_files : counts.removed_files);
      (added ? counts.added_bytes : counts.removed_bytes) += item.size;
      break;
    case Kind::kDir: ++(added ? counts.new_dirs : counts.removed_dirs); break;
    case Kind::kLink: ++(added ? counts.new_others : counts.removed_others); break;
  }
}

}  // namespace

std::vector<Change> diff_manifests(const Manifest& from, const Manifest& to, DiffCounts& counts) {
  counts = DiffCounts{};
  const std::map<std::string, Item> before = items_of(from);
  const std::map<std::string, Item> after = items_of(to);
  std::vector<Change> changes;
  auto old_it = before.begin();
  auto new_it = after.begin();
  // Both maps are sorted: one merge.
  while (old_it != before.end() || new_it != after.end()) {
    if (new_it == after.end() || (old_it != before.end() && old_it->first < new_it->first)) {
      changes.push_back(Change{'-', shown(old_it->first, old_it->second.kind)});
      count(old_it->second, false, counts);
      ++old_it;
      continue;
    }
    if (old_it == before.end() || new_it->first < old_it->first) {
      changes.push_back(Change{'+', shown(new_it->first, new_it->second.kind)});
      count(new_it->second, true, counts);
      ++new_it;
      continue;
    }
    const Item& was = old_it->second;
    const Item& is = new_it->second;
    char modifier = 0;
    if (was.kind != is.kind) {
      modifier = 'T';
    } else if ((was.size != is.size && was.size_known && is.size_known) ||
               was.content != is.content) {
      modifier = 'M';
    } else if (was.mode != is.mode && was.mode != kUnknownMode && is.mode != kUnknownMode) {
      modifier = 'U';
    }
    if (modifier != 0) {
      changes.push_back(Change{modifier, shown(new_it->first, is.kind)});
      if (modifier == 'T' || (is.kind == Kind::kFile && modifier == 'M')) ++counts.changed_files;
      if (was.kind == Kind::kFile && modifier != 'U') counts.removed_bytes += was.size;
      if (is.kind == Kind::kFile && modifier != 'U') counts.added_bytes += is.size;
    }
    ++old_it;
    ++new_it;
  }
  return changes;
}
