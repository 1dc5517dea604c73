#include "service/store/storage_paths.h"

#include "service/store/atomic_file.h"
#include "service/errors.h"
#include "service/log.h"

std::string StoragePath::text() const {
  if (parts.empty()) return "\\";
  std::string out;
  for (const std::string& part : parts) {
    out += '\\';
    out += part;
  }
  return out;
}

std::string StoragePath::dir_text() const {
  return parts.empty() ? std::string("\\") : text() + '\\';
}

StoragePath parse_storage_path(const std::string& text) {
  if (text.size() > kMaxStoragePathBytes) {
    throw ServiceError(kInvalidPath, "storage path too long");
  }
  StoragePath path;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\\', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view part(text.data() + start, end - start);
    if (!part.empty()) {
      if (!valid_name(part)) {
        throw ServiceError(kInvalidPath, "bad storage path " + log_safe(text));
      }
      path.parts.emplace_back(part);
      if (path.parts.size() > kMaxStoragePathDepth) {
        throw ServiceError(kInvalidPath, "storage path too deep");
      }
    }
    start = end + 1;
  }
  return path;
}

bool valid_name(std::string_view name) {
  if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
  for (const char c : name) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7f || c == '/' || c == '\\' || c == '"') return false;
  }
  return !is_temp_name(name) && valid_utf8(name);
}

bool valid_utf8(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    char32_t cp;
    if ((b & 0xE0) == 0xC0) {
      len = 2;
      cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3;
      cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4;
      cp = b & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto cb = static_cast<unsigned char>(text[i + k]);
      if ((cb & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cb & 0x3F);
    }
    static const char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}
