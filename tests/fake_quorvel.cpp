#include "tests/fake_quorvel.h"

#include <cstring>

namespace {

FakeQuorvel* g_fake = new FakeQuorvel();

std::wstring text(const wchar_t* s) { return s ? std::wstring(s) : std::wstring(L"(null)"); }

void record_call(const std::wstring& call) { g_fake->calls.push_back(call); }

int transfer(QV_ProgressFunc progress, void* context) {
  for (const auto& report : g_fake->reports) {
    if (g_fake->before_report) g_fake->before_report();
    const long answer = progress(report.first, report.second, context);
    g_fake->progress_returns.push_back(answer);
    if (answer != 0) return -7;
  }
  return g_fake->result;
}

// Texts as UTF-16LE, NUL-terminated, in the field of `bytes` units long at
// `offset`; numbers little-endian.
void put_text(unsigned char* record, std::size_t offset, std::size_t bytes,
              const std::u16string& value) {
  std::memset(record + offset, 0, bytes);
  for (std::size_t i = 0; i < value.size() && 2 * i + 2 < bytes; ++i) {
    record[offset + 2 * i] = static_cast<unsigned char>(value[i] & 0xFF);
    record[offset + 2 * i + 1] = static_cast<unsigned char>(value[i] >> 8);
  }
}

void put_u64(unsigned char* record, std::size_t offset, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) record[offset + i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

FakeQuorvel& fake_quorvel() { return *g_fake; }

void reset_fake_quorvel() { *g_fake = FakeQuorvel(); }

_cloud_file_record make_record(const std::u16string& directory, const std::u16string& name,
                               std::uint8_t kind, std::uint64_t size,
                               const std::u16string& create_time,
                               const std::u16string& modify_time) {
  static_assert(sizeof(_cloud_file_record) == 4408, "the record is 4408 bytes");
  _cloud_file_record r;
  unsigned char* bytes = reinterpret_cast<unsigned char*>(&r);
  std::memset(bytes, 0xCD, sizeof(r));  // unread bytes hold garbage
  put_text(bytes, 0, 2048, directory);
  put_text(bytes, 2048, 2048, name);
  put_text(bytes, 4096, 64, create_time);
  put_text(bytes, 4160, 128, modify_time);
  put_u64(bytes, 4288, size);
  bytes[4304] = kind;
  return r;
}

int QUORVEL_CALL QV_Login(const wchar_t* user, const wchar_t* password) {
  record_call(L"QV_Login(" + text(user) + L", " + text(password) + L")");
  return g_fake->result;
}

int QUORVEL_CALL QV_Logout() {
  record_call(L"QV_Logout()");
  return g_fake->result;
}

int QUORVEL_CALL QV_GetFileList(const wchar_t* directory, bool recursive,
                                std::vector<_cloud_file_record>* records) {
  record_call(L"QV_GetFileList(" + text(directory) + (recursive ? L", true)" : L", false)"));
  if (g_fake->result == 0) *records = g_fake->records;
  return g_fake->result;
}

int QUORVEL_CALL QV_GetFileInfo(const wchar_t* path, _cloud_file_record* record) {
  record_call(L"QV_GetFileInfo(" + text(path) + L")");
  if (g_fake->result == 0) *record = g_fake->info;
  return g_fake->result;
}

std::int64_t QUORVEL_CALL QV_GetFreeSpace() {
  record_call(L"QV_GetFreeSpace()");
  return g_fake->free_space;
}

std::int64_t QUORVEL_CALL QV_GetUsedSpace() {
  record_call(L"QV_GetUsedSpace()");
  return g_fake->used_space;
}

int QUORVEL_CALL QV_DeleteFile(const wchar_t* path) {
  record_call(L"QV_DeleteFile(" + text(path) + L")");
  return g_fake->result;
}

int QUORVEL_CALL QV_RemoveDir(const wchar_t* path) {
  record_call(L"QV_RemoveDir(" + text(path) + L")");
  return g_fake->result;
}

int QUORVEL_CALL QV_CreateDir(const wchar_t* path) {
  record_call(L"QV_CreateDir(" + text(path) + L")");
  return g_fake->result;
}

int QUORVEL_CALL QV_UplaodFile(const wchar_t* storage_path, const wchar_t* local_path,
                               int flags, QV_ProgressFunc progress, void* context) {
  record_call(L"QV_UplaodFile(" + text(storage_path) + L", " + text(local_path) + L", " +
              std::to_wstring(flags) + L")");
  return transfer(progress, context);
}

int QUORVEL_CALL QV_DownlaodFile(const wchar_t* storage_path, const wchar_t* local_path,
                                 bool overwrite, QV_ProgressFunc progress, void* context) {
  record_call(L"QV_DownlaodFile(" + text(storage_path) + L", " + text(local_path) +
              (overwrite ? L", true)" : L", false)"));
  return transfer(progress, context);
}

int QUORVEL_CALL QV_UpgradeToNextPlan() {
  record_call(L"QV_UpgradeToNextPlan()");
  return g_fake->result;
}

int QUORVEL_CALL QV_CheckUserCCInfo() {
  record_call(L"QV_CheckUserCCInfo()");
  return g_fake->result;
}
