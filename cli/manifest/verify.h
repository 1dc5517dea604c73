// Checks a restored file against its manifest entry.
#ifndef BREVANTO_CLI_VERIFY_H_
#define BREVANTO_CLI_VERIFY_H_

#include <string>

#include "cli/manifest/manifest.h"

// Empty when the file at `path` has the entry's size (unless the manifest
// lost it) and SHA-256; otherwise
// the problem, e.g. "a.txt: SHA-256 differs from the manifest".
std::string verify_file(const std::string& path, const ManifestEntry& entry);

#endif  // BREVANTO_CLI_VERIFY_H_
