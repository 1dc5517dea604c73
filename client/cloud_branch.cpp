#include "client/cloud_branch.h"

#include <iterator>
#include <memory>
#include <vector>

#include "platform/win32.h"
#include "quorvel/Quorvel.h"
#include "util/decimal.h"

namespace {

// Time text fields: at most six are stored, each read from at most 15
// characters.
constexpr int kTimeFields = 6;
constexpr std::size_t kFieldChars = 15;

bool ends_time_field(wchar_t c) { return c == L'/' || c == L' ' || c == L':' || c == L'\0'; }

}  // namespace

void time_text_to_filetime(const wchar_t* text, FILETIME& file_time) {
  if (text == nullptr || *text == L'\0') return;
  SYSTEMTIME st = {};
  WORD* const fields[kTimeFields] = {&st.wYear, &st.wMonth,  &st.wDay,
                                     &st.wHour, &st.wMinute, &st.wSecond};
  int stored = 0;
  std::wstring field;
  for (const wchar_t* p = text;; ++p) {
    if (ends_time_field(*p)) {
      if (stored < kTimeFields) {
        *fields[stored++] = static_cast<WORD>(wide_decimal_to_int32(field.c_str()));
      }
      field.clear();
      if (*p == L'\0') break;
    } else if (field.size() < kFieldChars) {
      field.push_back(*p);
    }
  }
  FILETIME converted;
  if (win32::SystemTimeToFileTime(&st, &converted)) file_time = converted;
}

std::wstring utf16_field(const char16_t* text, std::size_t units) {
  std::wstring out;
  for (std::size_t i = 0; i < units && text[i] != u'\0'; ++i) {
    std::uint32_t c = text[i];
    if (sizeof(wchar_t) == 4 && c >= 0xD800 && c < 0xDC00 && i + 1 < units &&
        text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    out.push_back(static_cast<wchar_t>(c));
  }
  return out;
}

int CloudBranch::login(CBrevanto&, const wchar_t* user, const wchar_t* password) {
  return QV_Login(user, password);
}

int CloudBranch::logout(CBrevanto&) { return QV_Logout(); }

int CloudBranch::getfilelist(CBrevanto&, const wchar_t* path, bool recursive,
                             std::list<_path_buffer*>& list) {
  std::vector<_cloud_file_record> records;
  const int result = QV_GetFileList(path, recursive, &records);
  if (result != 0) return result;
  // The host frees entries it held with releasefilelist before it passes
  // the list again; here the pointers are only dropped.
  list.clear();
  for (const _cloud_file_record& record : records) {
    auto entry = std::make_unique<_path_buffer>();
    entry->full_path = utf16_field(record.directory, std::size(record.directory)) +
                       utf16_field(record.name, std::size(record.name));
    entry->is_dir = record.kind == 0 ? 1 : 0;
    list.push_back(entry.get());
    entry.release();
  }
  return result;
}

bool CloudBranch::is_path_exists(CBrevanto&, const wchar_t* path) {
  _cloud_file_record record;
  return QV_GetFileInfo(path, &record) == 0;
}

int CloudBranch::getfileinfo(CBrevanto& c, const wchar_t* path, WIN32_FILE_ATTRIBUTE_DATA& data) {
  c.log.write(L"Call QV_GetFileInfo(%s)\n", path);
  auto record = std::make_unique<_cloud_file_record>();
  const int result = QV_GetFileInfo(path, record.get());
  c.log.write(L"QV_GetFileInfo(%s) returned(%d)\n", path, result);
  if (result != 0) return result;

  data.nFileSizeHigh = static_cast<DWORD>(record->size >> 32);
  data.nFileSizeLow = static_cast<DWORD>(record->size & 0xFFFFFFFFu);

  // One FILETIME serves both texts: an empty modification time therefore
  // repeats the creation time.
  const std::wstring create_time = utf16_field(record->create_time, std::size(record->create_time));
  const std::wstring modify_time = utf16_field(record->modify_time, std::size(record->modify_time));
  FILETIME time = {};
  c.log.write(L"create_time (%s)\n", create_time.c_str());
  time_text_to_filetime(create_time.c_str(), time);
  data.ftCreationTime = time;
  c.log.write(L"create_time translate ok\n");
  c.log.write(L"cModifyTime (%s)\n", modify_time.c_str());
  time_text_to_filetime(modify_time.c_str(), time);
  data.ftLastWriteTime = time;
  c.log.write(L"cModifyTime translate ok\n");
  return 0;
}

int CloudBranch::get_spaceinfo(CBrevanto&, std::int64_t& used_bytes, std::int64_t& free_bytes,
                               std::uint32_t which) {
  if (which & 1) {
    const std::int64_t free_space = QV_GetFreeSpace();
    if (free_space < 0) return static_cast<int>(static_cast<std::uint32_t>(free_space));
    free_bytes = free_space;
  }
  if (which & 2) {
    const std::int64_t used_space = QV_GetUsedSpace();
    if (used_space < 0) return static_cast<int>(static_cast<std::uint32_t>(used_space));
    used_bytes = used_space;
  }
  return 0;
}

int CloudBranch::removefile(CBrevanto&, const wchar_t* path) { return QV_DeleteFile(path); }

int CloudBranch::removedir(CBrevanto&, const wchar_t* path) { return QV_RemoveDir(path); }

int CloudBranch::adddir(CBrevanto&, const wchar_t* path) {
  // One trailing backslash goes, whatever the length; a lone one stays.
  if (path != nullptr && path[0] != L'\0' && path[1] != L'\0') {
    const std::wstring text = path;
    if (text.back() == L'\\') return QV_CreateDir(text.substr(0, text.size() - 1).c_str());
  }
  return QV_CreateDir(path);
}

int CloudBranch::addfile(CBrevanto& c, const wchar_t* local_path, const wchar_t* storage_path,
                         BrevantoProgressCallback callback, void* context) {
  c.progress_cb = callback;
  c.progress_ctx = context;
  c.cancel_flag.store(0);
  return QV_UplaodFile(storage_path, local_path, 0, &CBrevanto::QV_Progress, &c);
}

int CloudBranch::downloadfile(CBrevanto& c, const wchar_t* local_path, const wchar_t* storage_path,
                              bool flag, BrevantoProgressCallback callback, void* context) {
  c.progress_cb = callback;
  c.progress_ctx = context;
  c.cancel_flag.store(0);
  return QV_DownlaodFile(storage_path, local_path, flag, &CBrevanto::QV_Progress, &c);
}

int CloudBranch::update_plan(CBrevanto&) { return QV_UpgradeToNextPlan(); }

int CloudBranch::get_creditcard_state(CBrevanto&) { return QV_CheckUserCCInfo(); }

long BREVANTO_CDECL CBrevanto::QV_Progress(std::int64_t total, std::int64_t completed, void* context) {
  CBrevanto* const client = static_cast<CBrevanto*>(context);
  if (client->progress_cb != nullptr) {
    client->progress_cb(static_cast<std::uint64_t>(completed), static_cast<std::uint64_t>(total),
                        client->progress_ctx);
  }
  return client->cancel_flag.load();
}
