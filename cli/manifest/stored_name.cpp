#include "cli/manifest/stored_name.h"

#include "cli/local/local_tree.h"
#include "util/sha256.h"

bool needs_encoded_name(std::string_view name) {
  return !unstorable_name_reason(std::string(name)).empty() ||
         name.substr(0, sizeof(kEncodedNamePrefix) - 1) == kEncodedNamePrefix;
}

std::string stored_name(std::string_view name) {
  if (!needs_encoded_name(name)) return std::string(name);
  Sha256 hash;
  hash.update(name.data(), name.size());
  return kEncodedNamePrefix + hash.hex().substr(0, 32);
}

std::string stored_relative(std::string_view relative) {
  std::string out;
  std::size_t from = 0;
  for (;;) {
    const std::size_t cut = relative.find('/', from);
    out += stored_name(relative.substr(from, cut - from));
    if (cut == std::string_view::npos) return out;
    out += '/';
    from = cut + 1;
  }
}

bool needs_scratch_file(std::string_view relative) {
  std::size_t from = 0;
  for (;;) {
    const std::size_t cut = relative.find('/', from);
    const std::string name(relative.substr(from, cut - from));
    if (!unstorable_name_reason(name).empty()) return true;
    if (cut == std::string_view::npos) return false;
    from = cut + 1;
  }
}
