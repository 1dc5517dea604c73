#include "cli/manifest/real_names.h"

#include <algorithm>

#include "cli/manifest/stored_name.h"

namespace {

std::string with_separator(std::string text, char from, char to) {
  std::replace(text.begin(), text.end(), from, to);
  return text;
}

}  // namespace

bool holds_encoded_name(std::string_view storage_path) {
  constexpr std::string_view prefix = kEncodedNamePrefix;
  for (std::size_t at = storage_path.find(prefix); at != std::string_view::npos;
       at = storage_path.find(prefix, at + 1)) {
    if (at == 0 || storage_path[at - 1] == '\\') return true;
  }
  return false;
}

void RealNames::add(const std::string& backup_root, const Manifest& manifest) {
  std::map<std::string, std::string>& names = roots_[backup_root];
  // Every folder above an entry too: a folder's line may be missing.
  const auto note = [&names](const std::string& real) {
    for (std::size_t cut = 0;; ++cut) {
      cut = real.find('/', cut);
      const std::string prefix = real.substr(0, cut);
      const std::string stored = stored_relative(prefix);
      if (stored != prefix) names.emplace(stored, prefix);
      if (cut == std::string::npos) return;
    }
  };
  for (const ManifestDir& dir : manifest.dirs) note(dir.path);
  for (const ManifestEntry& file : manifest.files) note(file.path);
}

std::string RealNames::real_path(const std::string& storage_path) const {
  // The nearest backup root above the path.
  const std::map<std::string, std::string>* names = nullptr;
  std::size_t root_size = 0;
  for (const auto& [root, root_names] : roots_) {
    const std::size_t size = root == "\\" ? 0 : root.size();
    if (storage_path.size() > size && storage_path.compare(0, size, root, 0, size) == 0 &&
        storage_path[size] == '\\' && (names == nullptr || size >= root_size)) {
      names = &root_names;
      root_size = size;
    }
  }
  if (names == nullptr || names->empty()) return storage_path;
  // The longest part of the relative path whose real name is known.
  const std::string relative = with_separator(storage_path.substr(root_size + 1), '\\', '/');
  for (std::size_t end = relative.size(); end != 0 && end != std::string::npos;
       end = relative.rfind('/', end - 1)) {
    const auto it = names->find(relative.substr(0, end));
    if (it != names->end()) {
      return storage_path.substr(0, root_size + 1) + with_separator(it->second, '/', '\\') +
             with_separator(relative.substr(end), '/', '\\');
    }
  }
  return storage_path;
}
