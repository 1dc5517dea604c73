#include "file_record.h"

#include <cstring>
#include <system_error>

#include "time_text.h"

namespace quorvel {
namespace {

// Copies `text` with its NUL into a field of `capacity` units; false when it
// does not fit (texts are never truncated).
template <std::size_t capacity>
bool CopyText(const std::u16string& text, char16_t (&field)[capacity]) {
  if (text.size() >= capacity) return false;
  std::memcpy(field, text.data(), text.size() * sizeof(char16_t));
  field[text.size()] = u'\0';
  return true;
}

}  // namespace

int FillRecord(const std::u16string& directory, const std::u16string& name, EntryKind kind,
               const std::filesystem::path& local, _cloud_file_record* record) {
  std::memset(record, 0, sizeof(*record));
  if (!CopyText(directory, record->directory) || !CopyText(name, record->name)) {
    return QV_E_INVALID_PATH;
  }
  record->kind = kind == EntryKind::kDirectory ? 0 : 1;
  if (kind == EntryKind::kFile) {
    std::error_code error;
    record->size = std::filesystem::file_size(local, error);
    if (error) return QV_E_IO;
  }
  EntryTimes times;
  if (!ReadTimes(local, &times)) return QV_E_IO;
  if (!CopyText(TimeText(times.created), record->create_time) ||
      !CopyText(TimeText(times.modified), record->modify_time)) {
    return QV_E_IO;
  }
  return QV_OK;
}

}  // namespace quorvel
