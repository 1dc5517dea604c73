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

void copy_text(char16_t* field, std::size_t units, const std::u16string& value) {
  std::memset(field, 0, units * sizeof(char16_t));
  value.copy(field, units - 1);
}

}  // namespace

FakeQuorvel& fake_quorvel() { return *g_fake; }

void reset_fake_quorvel() { *g_fake = FakeQuorvel(); }

_cloud_file_record make_record(const std::u16string& directory, const std::u16string& name,
                               std::uint8_t kind, std::uint64_t size,
                               const std::u16string& create_time,
                               const std::u16string& modify_time) {
  _cloud_file_record r;
  std::memset(&r, 0xCD, sizeof(r));  // unread bytes hold garbage
  copy_text(r.directory, 1024, directory);
  copy_text(r.name, 1024, name);
  copy_text(r.create_time, 32, create_time);
  copy_text(r.modify_time, 64, modify_time);
  r.size = size;
  r.kind = kind;
  return r;
}

int QV_Login(const wchar_t* user, const wchar_t* password) {
  record_call(L"QV_Login(" + text(user) + L", " + text(password) + L")");
  return g_fake->result;
}

int QV_Logout() {
  record_call(L"QV_Logout()");
  return g_fake->result;
}

int QV_GetFileList(const wchar_t* directory, bool recursive,
                   std::vector<_cloud_file_record>* records) {
  record_call(L"QV_GetFileList(" + text(directory) + (recursive ? L", true)" : L", false)"));
  if (g_fake->result == 0) *records = g_fake->records;
  return g_fake->result;
}

int QV_GetFileInfo(const wchar_t* path, _cloud_file_record* record) {
  record_call(L"QV_GetFileInfo(" + text(path) + L")");
  if (g_fake->result == 0) *record = g_fake->info;
  return g_fake->result;
}

std::int64_t QV_GetFreeSpace() {
  record_call(L"QV_GetFreeSpace()");
  return g_fake->free_space;
}

std::int64_t QV_GetUsedSpace() {
  record_call(L"QV_GetUsedSpace()");
  return g_fake->used_space;
}

int QV_DeleteFile(const wchar_t* path) {
  record_call(L"QV_DeleteFile(" + text(path) + L")");
  return g_fake->result;
}

int QV_RemoveDir(const wchar_t* path) {
  record_call(L"QV_RemoveDir(" + text(path) + L")");
  return g_fake->result;
}

int QV_CreateDir(const wchar_t* path) {
  record_call(L"QV_CreateDir(" + text(path) + L")");
  return g_fake->result;
}

int QV_UplaodFile(const wchar_t* storage_path, const wchar_t* local_path, int flags,
                  QV_ProgressFunc progress, void* context) {
  record_call(L"QV_UplaodFile(" + text(storage_path) + L", " + text(local_path) + L", " +
              std::to_wstring(flags) + L")");
  return transfer(progress, context);
}

int QV_DownlaodFile(const wchar_t* storage_path, const wchar_t* local_path, bool overwrite,
                    QV_ProgressFunc progress, void* context) {
  record_call(L"QV_DownlaodFile(" + text(storage_path) + L", " + text(local_path) +
              (overwrite ? L", true)" : L", false)"));
  return transfer(progress, context);
}

int QV_UpgradeToNextPlan() {
  record_call(L"QV_UpgradeToNextPlan()");
  return g_fake->result;
}

int QV_CheckUserCCInfo() {
  record_call(L"QV_CheckUserCCInfo()");
  return g_fake->result;
}
