// Checks a restored tree against a backup manifest.
#ifndef BREVANTO_CLI_VERIFY_H_
#define BREVANTO_CLI_VERIFY_H_

#include <set>
#include <string>
#include <vector>

#include "cli/manifest.h"

// Every manifest entry must exist below `local_root` with its size and
// SHA-256; every path of `restored` must be in the manifest. Returns one
// line per problem.
std::vector<std::string> verify_tree(const std::string& local_root,
                                     const std::vector<ManifestEntry>& manifest,
                                     const std::set<std::string>& restored);

#endif  // BREVANTO_CLI_VERIFY_H_
