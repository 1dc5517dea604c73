#include "cli/manifest/verify.h"

#include "cli/local/file_hash.h"

std::string verify_file(const std::string& path, const ManifestEntry& entry) {
  FileHash hash;
  std::string error;
  if (!hash_file(path, hash, error)) return entry.path + ": missing (" + error + ")";
  if (!(entry.lost & kLostSize) && hash.size != entry.size) {
    return entry.path + ": size " + std::to_string(hash.size) + ", manifest says " +
           std::to_string(entry.size);
  }
  if (hash.sha256 != entry.sha256) return entry.path + ": SHA-256 differs from the manifest";
  return std::string();
}
