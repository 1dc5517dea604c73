// Storage paths: rooted, backslash-separated UTF-16 texts such as
// \docs\a.txt, mapped onto the account's files folder.
//
// Refused (QV_E_INVALID_PATH): a null, empty or unrooted text; an empty
// component (\a\\b); "." and ".."; control characters and '/'; on Windows
// also <>:"|?*, names ending in a dot or a space, and device names (CON,
// NUL, COM1...), which Windows would map onto something else; ill-formed
// UTF-16; and texts too long for a record (a name or a directory text of
// more than 1023 UTF-16 units). One trailing backslash is ignored.
#ifndef QUORVEL_SRC_STORAGE_PATH_H_
#define QUORVEL_SRC_STORAGE_PATH_H_

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "local_fs.h"

namespace quorvel {

// Room for a text in the record's directory and name fields, without the NUL.
constexpr std::size_t kMaxRecordText = 1023;

struct StoragePath {
  std::vector<std::u16string> parts;  // empty for the root

  bool IsRoot() const { return parts.empty(); }
  // The directory text of the entry: \ for an entry of the root, else
  // \a\b\ (always ending in a backslash).
  std::u16string DirectoryText() const;
  // The local path under `files`.
  std::filesystem::path LocalPath(const std::filesystem::path& files) const;
};

// QV_OK or QV_E_INVALID_PATH.
int ParseStoragePath(const wchar_t* text, StoragePath* path);

// Where a storage path stands locally, found without following any link.
struct Resolved {
  std::filesystem::path local;
  bool parent_is_directory = false;      // every component before the last is one
  EntryKind kind = EntryKind::kMissing;  // of the entry itself (kFile, kDirectory, kMissing)
};

// QV_OK; QV_E_INVALID_PATH when a component is a link or other non-cloud
// entry; QV_E_IO when the file system cannot tell.
int Resolve(const std::filesystem::path& files, const StoragePath& path, Resolved* resolved);

}  // namespace quorvel

#endif  // QUORVEL_SRC_STORAGE_PATH_H_
