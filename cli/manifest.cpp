#include "cli/manifest.h"

#include <cctype>
#include <utility>

namespace {

bool is_hex_digest(std::string_view text) {
  if (text.size() != 64) return false;
  for (const char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool parse_size(std::string_view text, std::uint64_t& size) {
  if (text.empty() || text.size() > 19) return false;
  size = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    size = size * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

}  // namespace

std::string format_manifest(const std::vector<ManifestEntry>& entries) {
  std::string text;
  for (const ManifestEntry& entry : entries) {
    text += entry.sha256_hex + " " + std::to_string(entry.size) + " " + entry.path + "\n";
  }
  return text;
}

bool parse_manifest(std::string_view text, std::vector<ManifestEntry>& entries,
                    std::string& error) {
  std::size_t line_number = 0;
  while (!text.empty()) {
    ++line_number;
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;

    const std::size_t first = line.find(' ');
    const std::size_t second =
        first == std::string_view::npos ? first : line.find(' ', first + 1);
    ManifestEntry entry;
    if (second == std::string_view::npos || !is_hex_digest(line.substr(0, first)) ||
        !parse_size(line.substr(first + 1, second - first - 1), entry.size) ||
        second + 1 >= line.size()) {
      error = "line " + std::to_string(line_number) + " is malformed";
      return false;
    }
    for (const char c : line.substr(0, first)) {
      entry.sha256_hex.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    entry.path = std::string(line.substr(second + 1));
    entries.push_back(std::move(entry));
  }
  return true;
}
