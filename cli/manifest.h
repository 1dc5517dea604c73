// The manifest a backup stores beside its files: one line per file,
// "<sha256 hex> <size> <relative path>", the path UTF-8 with '/' separators.
#ifndef BREVANTO_CLI_MANIFEST_H_
#define BREVANTO_CLI_MANIFEST_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Name of the manifest inside the backup's storage directory.
inline constexpr char kManifestName[] = ".brevanto-manifest";

struct ManifestEntry {
  std::string sha256_hex;
  std::uint64_t size = 0;
  std::string path;
};

std::string format_manifest(const std::vector<ManifestEntry>& entries);

// False with `error` naming the first malformed line.
bool parse_manifest(std::string_view text, std::vector<ManifestEntry>& entries,
                    std::string& error);

#endif  // BREVANTO_CLI_MANIFEST_H_
