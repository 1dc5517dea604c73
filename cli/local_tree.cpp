#include "cli/local_tree.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "cli/text.h"

namespace fs = std::filesystem;

namespace {

void walk(const fs::path& root, const std::string& relative_dir,
          const std::string& reserved_prefix, LocalTree& tree) {
  const fs::path dir = relative_dir.empty() ? root : root / relative_dir;
  std::error_code error;
  std::vector<fs::directory_entry> children;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    children.push_back(*it);
  }
  if (error) {
    tree.problems.push_back((relative_dir.empty() ? "." : relative_dir) + ": " + error.message());
    return;
  }
  std::sort(children.begin(), children.end(),
            [](const fs::directory_entry& a, const fs::directory_entry& b) {
              return a.path().filename().string() < b.path().filename().string();
            });
  for (const fs::directory_entry& child : children) {
    const std::string name = child.path().filename().string();
    const std::string relative = relative_dir.empty() ? name : relative_dir + "/" + name;
    if (relative_dir.empty() && name.compare(0, reserved_prefix.size(), reserved_prefix) == 0) {
      continue;
    }
    const std::string reason = unstorable_name_reason(name);
    if (!reason.empty()) {
      tree.problems.push_back(relative + ": " + reason);
      continue;
    }
    std::error_code type_error;
    const bool is_link = child.is_symlink(type_error);
    if (child.is_directory(type_error)) {
      if (is_link) {
        tree.problems.push_back(relative + ": link to a directory, not followed");
        continue;
      }
      tree.entries.push_back(LocalEntry{relative, true, 0});
      walk(root, relative, reserved_prefix, tree);
    } else if (child.is_regular_file(type_error)) {
      const std::uintmax_t size = child.file_size(type_error);
      if (type_error) {
        tree.problems.push_back(relative + ": " + type_error.message());
        continue;
      }
      tree.entries.push_back(LocalEntry{relative, false, size});
      ++tree.files;
      tree.bytes += size;
    } else {
      tree.problems.push_back(relative + ": neither a file nor a directory");
    }
  }
}

}  // namespace

std::string unstorable_name_reason(const std::string& name) {
  if (!is_valid_utf8(name)) return "name is not valid UTF-8";
  for (const char c : name) {
    if (c == '\\') return "name holds a backslash, a separator in the storage";
    if (c == '"') return "name holds a double quote, which the library refuses";
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      return "name holds a control character";
    }
  }
  return std::string();
}

LocalTree walk_local_tree(const std::string& root, const std::string& reserved_prefix) {
  LocalTree tree;
  walk(fs::path(root), std::string(), reserved_prefix, tree);
  return tree;
}
