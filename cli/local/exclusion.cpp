#include "cli/local/exclusion.h"

#include "cli/local/local_file.h"

namespace {

// Matches a bracket expression at the start of `pattern` ("[...]") against
// `c`; `length` gets its length. False with length 0 when it is not closed:
// then '[' is a plain character.
bool bracket_match(std::string_view pattern, char c, std::size_t& length) {
  std::size_t i = 1;
  const bool negate = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
  if (negate) ++i;
  bool matched = false;
  bool first = true;
  for (; i < pattern.size() && (first || pattern[i] != ']'); first = false) {
    char low = pattern[i];
    if (low == '\\' && i + 1 < pattern.size()) low = pattern[++i];
    char high = low;
    if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
      high = pattern[i + 2];
      if (high == '\\' && i + 3 < pattern.size()) high = pattern[++i + 2];
      i += 2;
    }
    matched |= low <= c && c <= high;
    ++i;
  }
  if (i >= pattern.size()) {
    length = 0;
    return false;
  }
  length = i + 1;
  return c != '/' && matched != negate;
}

}  // namespace

bool glob_match(std::string_view pattern, std::string_view text) {
  std::size_t p = 0;
  std::size_t t = 0;
  while (p < pattern.size()) {
    const char c = pattern[p];
    if (c == '*') {
      if (p + 1 < pattern.size() && pattern[p + 1] == '*') {
        const bool whole_dirs = (p == 0 || pattern[p - 1] == '/') && p + 2 < pattern.size() &&
                                pattern[p + 2] == '/';
        if (whole_dirs) {  // "**/": no directory, or any run of them
          const std::string_view rest = pattern.substr(p + 3);
          if (glob_match(rest, text.substr(t))) return true;
          for (std::size_t k = t; k < text.size(); ++k) {
            if (text[k] == '/' && glob_match(rest, text.substr(k + 1))) return true;
          }
          return false;
        }
        const std::string_view rest = pattern.substr(p + 2);  // anything, '/' too
        for (std::size_t k = t; k <= text.size(); ++k) {
          if (glob_match(rest, text.substr(k))) return true;
        }
        return false;
      }
      const std::string_view rest = pattern.substr(p + 1);
      for (std::size_t k = t; k <= text.size(); ++k) {
        if (glob_match(rest, text.substr(k))) return true;
        if (k < text.size() && text[k] == '/') break;
      }
      return false;
    }
    if (t >= text.size()) return false;
    if (c == '?') {
      if (text[t] == '/') return false;
    } else if (c == '[') {
      std::size_t length = 0;
      const bool matched = bracket_match(pattern.substr(p), text[t], length);
      if (length > 0) {
        if (!matched) return false;
        p += length;
        ++t;
        continue;
      }
      if (text[t] != '[') return false;
    } else {
      char plain = c;
      if (c == '\\' && p + 1 < pattern.size()) plain = pattern[++p];
      if (text[t] != plain) return false;
    }
    ++p;
    ++t;
  }
  return t == text.size();
}

void ExcludeRules::add(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  // Trailing blanks go, unless a '\' keeps the last one.
  while (!line.empty() && line.back() == ' ' &&
         !(line.size() >= 2 && line[line.size() - 2] == '\\')) {
    line.remove_suffix(1);
  }
  if (line.empty() || line[0] == '#') return;
  Rule rule;
  if (line[0] == '!') {
    rule.negate = true;
    line.remove_prefix(1);
  }
  if (!line.empty() && line.back() == '/') {
    rule.dir_only = true;
    while (!line.empty() && line.back() == '/') line.remove_suffix(1);
  }
  if (line.empty()) return;
  const bool anchored = line.find('/') != std::string_view::npos;
  if (anchored) {
    if (line[0] == '/') line.remove_prefix(1);
    rule.glob = std::string(line);
  } else {
    rule.glob = "**/" + std::string(line);
  }
  rules_.push_back(std::move(rule));
}

bool ExcludeRules::add_file(const std::string& path, std::string& error) {
  std::string text;
  if (!read_whole_file(path, text, error)) return false;
  std::size_t from = 0;
  while (from < text.size()) {
    std::size_t end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    add(std::string_view(text).substr(from, end - from));
    from = end + 1;
  }
  return true;
}

bool ExcludeRules::excluded(std::string_view relative, bool is_dir) const {
  bool excluded = false;
  for (const Rule& rule : rules_) {
    if (rule.dir_only && !is_dir) continue;
    if (excluded != !rule.negate && glob_match(rule.glob, relative)) excluded = !rule.negate;
  }
  return excluded;
}
