// What changed between two snapshots of a backup, told by their manifests
// alone: each path with its kind, size, SHA-256, mode and a link's target.
#ifndef BREVANTO_CLI_MANIFEST_DIFF_H_
#define BREVANTO_CLI_MANIFEST_DIFF_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/manifest/manifest.h"

struct Change {
  // As restic's diff marks them: '+' added, '-' removed, 'M' a file's
  // content (or a link's target) changed, 'T' the kind changed (a file
  // became a link or a directory), 'U' the mode changed, nothing else.
  char modifier = '+';
  // "/" and the path in the backup, with '/' separators; a directory's ends
  // in '/' ("/" for the backed-up directory itself).
  std::string path;
};

struct DiffCounts {
  std::size_t new_files = 0, removed_files = 0, changed_files = 0;
  std::size_t new_dirs = 0, removed_dirs = 0;
  std::size_t new_others = 0, removed_others = 0;  // symbolic links
  // The sizes of the files added and removed; a changed file adds its new
  // size and removes its old one.
  std::uint64_t added_bytes = 0, removed_bytes = 0;
};

// The changes from `from` to `to`, sorted by path. Modes a manifest does
// not record (older versions) are not compared; hard links are compared as
// the files they are.
std::vector<Change> diff_manifests(const Manifest& from, const Manifest& to, DiffCounts& counts);

#endif  // BREVANTO_CLI_MANIFEST_DIFF_H_
