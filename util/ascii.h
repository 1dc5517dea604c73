// Locale-independent ASCII helpers for protocol names and values.
#ifndef BREVANTO_UTIL_ASCII_H_
#define BREVANTO_UTIL_ASCII_H_

#include <cstddef>
#include <string_view>

inline char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when a and b are equal with ASCII letters folded to one case; every
// other byte compares unchanged. Inline: the listing compares attribute
// names with it several times an entry.
inline bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

#endif  // BREVANTO_UTIL_ASCII_H_
