#include "storage_path.h"

#include <system_error>

#include "quorvel/Quorvel.h"
#include "wide_text.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
bool IsDeviceName(const std::u16string& name) {
  // The part before the first dot, compared without regard to ASCII case.
  std::u16string stem = name.substr(0, name.find(u'.'));
  while (!stem.empty() && stem.back() == u' ') stem.pop_back();
  for (char16_t& c : stem) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  if (stem == u"CON" || stem == u"PRN" || stem == u"AUX" || stem == u"NUL") return true;
  return stem.size() == 4 && (stem.compare(0, 3, u"COM") == 0 || stem.compare(0, 3, u"LPT") == 0) &&
         stem[3] >= u'1' && stem[3] <= u'9';
}
#endif

bool IsAllowedName(const std::u16string& name) {
  if (name.empty() || name == u"." || name == u".." || name.size() > kMaxRecordText) return false;
  for (char16_t c : name) {
    if (c < 0x20 || c == u'/' || c == 0x7F) return false;
#ifdef _WIN32
    if (std::u16string(u"<>:\"|?*").find(c) != std::u16string::npos) return false;
#endif
  }
#ifdef _WIN32
  if (name.back() == u'.' || name.back() == u' ' || IsDeviceName(name)) return false;
#endif
  return true;
}

}  // namespace

std::u16string StoragePath::DirectoryText() const {
  std::u16string text = u"\\";
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    text += parts[i];
    text += u'\\';
  }
  return text;
}

fs::path StoragePath::LocalPath(const fs::path& files) const {
  fs::path local = files;
  for (const std::u16string& part : parts) local /= PathFromUtf16(part);
  return local;
}

int ParseStoragePath(const wchar_t* text, StoragePath* path) {
  std::u16string utf16;
  if (!WideToUtf16(text, &utf16) || utf16.empty() || utf16[0] != u'\\') return QV_E_INVALID_PATH;
  if (utf16.size() > 1 && utf16.back() == u'\\') utf16.pop_back();
  path->parts.clear();
  if (utf16.size() > 1) {
    for (std::size_t start = 1;;) {
      std::size_t end = utf16.find(u'\\', start);
      if (end == std::u16string::npos) end = utf16.size();
      std::u16string part = utf16.substr(start, end - start);
      if (!IsAllowedName(part)) return QV_E_INVALID_PATH;
      path->parts.push_back(std::move(part));
      if (end == utf16.size()) break;
      start = end + 1;
    }
  }
  if (path->DirectoryText().size() > kMaxRecordText) return QV_E_INVALID_PATH;
  return QV_OK;
}

int Resolve(const fs::path& files, const StoragePath& path, Resolved* resolved) {
  resolved->local = files;
  resolved->parent_is_directory = true;
  resolved->kind = EntryKind::kDirectory;
  for (std::size_t i = 0; i < path.parts.size(); ++i) {
    resolved->local /= PathFromUtf16(path.parts[i]);
    if (resolved->kind != EntryKind::kDirectory) {
      // Something before this component is missing or a file.
      resolved->parent_is_directory = false;
      resolved->kind = EntryKind::kMissing;
      continue;
    }
    std::error_code error;
    const EntryKind kind = Classify(resolved->local, error);
    if (error) return QV_E_IO;
    if (kind == EntryKind::kLink || kind == EntryKind::kOther) return QV_E_INVALID_PATH;
    resolved->kind = kind;
  }
  return QV_OK;
}

}  // namespace quorvel
