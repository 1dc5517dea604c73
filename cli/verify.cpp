#include "cli/verify.h"

#include "cli/file_hash.h"
#include "cli/local_path.h"

std::vector<std::string> verify_tree(const std::string& local_root,
                                     const std::vector<ManifestEntry>& manifest,
                                     const std::set<std::string>& restored) {
  std::vector<std::string> problems;
  std::set<std::string> listed;
  for (const ManifestEntry& entry : manifest) {
    listed.insert(entry.path);
    FileHash hash;
    std::string error;
    if (!hash_file(local_join(local_root, entry.path), hash, error)) {
      problems.push_back(entry.path + ": missing (" + error + ")");
    } else if (hash.size != entry.size) {
      problems.push_back(entry.path + ": size " + std::to_string(hash.size) + ", manifest says " +
                         std::to_string(entry.size));
    } else if (hash.sha256_hex != entry.sha256_hex) {
      problems.push_back(entry.path + ": SHA-256 differs from the manifest");
    }
  }
  for (const std::string& path : restored) {
    if (listed.count(path) == 0) problems.push_back(path + ": not in the manifest");
  }
  return problems;
}
