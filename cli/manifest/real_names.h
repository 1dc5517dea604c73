// The real names behind encoded stored names (stored_name.h): a name the
// storage cannot hold is stored as ".brevanto-name-<hex>", and the manifest
// of the backup it lies in keeps the real one.
#ifndef BREVANTO_CLI_REAL_NAMES_H_
#define BREVANTO_CLI_REAL_NAMES_H_

#include <map>
#include <string>
#include <string_view>

#include "cli/manifest/manifest.h"

// True when some component of the storage path is an encoded name.
bool holds_encoded_name(std::string_view storage_path);

class RealNames {
 public:
  // The names of `manifest`, the manifest of the backup in the storage
  // directory `backup_root`.
  void add(const std::string& backup_root, const Manifest& manifest);

  // `storage_path` with each encoded name that a manifest added names
  // replaced by the real one (under the nearest backup root above it);
  // the others stay as stored. Separators stay '\', also where a real
  // name holds one.
  std::string real_path(const std::string& storage_path) const;

 private:
  // backup root -> (stored relative path -> real relative path, '/'
  // separators), for every path with an encoded component.
  std::map<std::string, std::map<std::string, std::string>> roots_;
};

#endif  // BREVANTO_CLI_REAL_NAMES_H_
