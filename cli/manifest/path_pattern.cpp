#include "cli/manifest/path_pattern.h"

#include "cli/local/exclusion.h"

namespace {

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

PathPattern::PathPattern(std::string_view pattern, bool ignore_case)
    : ignore_case_(ignore_case) {
  if (pattern.size() > 1 && pattern.back() == '/') {
    dir_only_ = true;
    pattern.remove_suffix(1);
  }
  std::string glob = ignore_case ? ascii_lower(pattern) : std::string(pattern);
  if (glob.find('/') == std::string::npos) {
    name_only_ = true;
  } else if (glob[0] == '/') {
    glob.erase(0, 1);
  } else {
    glob = "**/" + glob;  // any end of the path
  }
  glob_ = std::move(glob);
}

bool PathPattern::matches(std::string_view relative, bool is_dir) const {
  if (dir_only_ && !is_dir) return false;
  if (name_only_) {
    const std::size_t slash = relative.rfind('/');
    if (slash != std::string_view::npos) relative.remove_prefix(slash + 1);
  }
  return ignore_case_ ? glob_match(glob_, ascii_lower(relative)) : glob_match(glob_, relative);
}
