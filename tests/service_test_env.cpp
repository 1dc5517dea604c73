#include "tests/service_test_env.h"

#include "protocol/service_connection.h"

namespace {

bool log_in(const ServiceEnv& env, CServiceConnection& conn) {
  conn.port = env.service.port();
  return conn.login(L"alice", L"s3cret", L"", L"1") == 0 && conn.logged_in;
}

}  // namespace

bool ServiceEnv::stored(const std::string& path) const {
  CServiceConnection conn;
  if (!log_in(*this, conn)) return false;
  WIN32_FILE_ATTRIBUTE_DATA data;
  int backup_type = 0;
  int reversion = 0;
  return conn.getfileinfo(widen(path).c_str(), data, backup_type, reversion) == 0;
}

std::string ServiceEnv::stored_content(const std::string& path, bool* present) const {
  if (present != nullptr) *present = false;
  CServiceConnection conn;
  if (!log_in(*this, conn)) return std::string();
  const std::string copy = local + "/.stored-copy";
  if (conn.downloadfile(widen(copy).c_str(), widen(path).c_str(), nullptr, nullptr) != 0) {
    return std::string();
  }
  bool ok = false;
  std::string content = read_file(copy, &ok);
  std::remove(copy.c_str());
  if (present != nullptr) *present = ok;
  return content;
}

bool ServiceEnv::seed_files(const std::vector<std::string>& paths) const {
  CServiceConnection conn;
  if (!log_in(*this, conn)) return false;
  const std::string empty = local + "/.seed-empty";
  if (!write_file(empty, "")) return false;
  const std::wstring source = widen(empty);
  for (const std::string& path : paths) {
    if (conn.addfile(source.c_str(), widen(path).c_str(), nullptr, nullptr) != 0) return false;
  }
  std::remove(empty.c_str());
  return true;
}
