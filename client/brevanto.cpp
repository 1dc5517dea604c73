// The facade: picks the back end of every operation by interface type.
// Type 0 reaches the local service connection; type 1 the Quorvel cloud
// library (CloudBranch); other types reach the library for login, logout and
// removal, and get fixed results elsewhere.
#define BREVANTO_DEFINES_SPACEINFO_SPELLINGS  // defined below, after get_spaceinfo
#include "client/Brevanto.h"

#include "client/cloud_branch.h"
#include "client/file_list.h"
#include "platform/win32.h"
#include "protocol/service_connection.h"
#include "util/module_path.h"

namespace {

// The facade's log file; for the local service back end it is the trace
// log's file. On Windows it lies beside the executable and the facade itself
// creates no directory; on Linux it lies in the log folder the library picks
// (util/module_path.h), rotated when large.
std::wstring facade_log_path() {
#ifdef _WIN32
  const std::wstring directory = executable_directory();
  return directory.empty() ? directory : directory + L"logs\\Brevanto.log";
#else
  const std::wstring directory = log_directory();
  if (directory.empty()) return directory;
  rotate_large_log(directory + L"Brevanto.log");
  return directory + L"Brevanto.log";
#endif
}

// Result of updatefile where no back end can replace a stored file.
constexpr int kNotSupported = -2;

}  // namespace

CBrevanto::CBrevanto(OnlineInterfaceType type)
    : service(nullptr),
      interface_type(type),
      progress_cb(nullptr),
      progress_ctx(nullptr),
      cancel_flag(0) {
  if (interface_type == INTERFACE_LOCAL_SERVICE) service = new CServiceConnection();
  const std::wstring log_path = facade_log_path();
  if (!log_path.empty()) log.create(log_path.c_str());
}

CBrevanto::~CBrevanto() {
  if (interface_type == INTERFACE_LOCAL_SERVICE) delete service;
  log.close();
}

int CBrevanto::login(const wchar_t* user, const wchar_t* password, const wchar_t* project_name,
                     const wchar_t* client_type) {
  if (interface_type == INTERFACE_LOCAL_SERVICE) {
    return service->login(user, password, project_name, client_type);
  }
  return CloudBranch::login(*this, user, password);
}

int CBrevanto::logout() {
  if (interface_type == INTERFACE_LOCAL_SERVICE) return service->logout();
  return CloudBranch::logout(*this);
}

int CBrevanto::getfilelist(const wchar_t* path, bool recursive, std::list<_path_buffer*>& list) {
  if (interface_type == INTERFACE_LOCAL_SERVICE) return service->getfilelist(path, recursive, list);
  if (interface_type == INTERFACE_CLOUD_LIBRARY) {
    return CloudBranch::getfilelist(*this, path, recursive, list);
  }
  return 0;
}

void CBrevanto::releasefilelist(std::list<_path_buffer*>& list) {
  release_file_list(list);
}

bool CBrevanto::is_path_exists(const wchar_t* path) {
  if (interface_type == INTERFACE_LOCAL_SERVICE) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    int backup_type = 0;
    int reversion = 0;
    return service->getfileinfo(path, data, backup_type, reversion) == 0;
  }
  if (interface_type == INTERFACE_CLOUD_LIBRARY) return CloudBranch::is_path_exists(*this, path);
  return false;
}

int CBrevanto::getfileinfo(const wchar_t* path, WIN32_FILE_ATTRIBUTE_DATA& data, int& backup_type,
                           int& reversion) {
  if (interface_type == INTERFACE_LOCAL_SERVICE) {
    return service->getfileinfo(path, data, backup_type, reversion);
  }
  if (interface_type == INTERFACE_CLOUD_LIBRARY) return CloudBranch::getfileinfo(*this, path, data);
  return 0;
}

int CBrevanto::get_spaceinfo(std::int64_t& used_bytes, std::int64_t& free_bytes,
                             std::uint32_t which) {
  if (interface_type == INTERFACE_CLOUD_LIBRARY) {
    return CloudBranch::get_spaceinfo(*this, used_bytes, free_bytes, which);
  }
  return 0;
}

#if defined(_WIN32)
int CBrevanto::get_spaceinfo(std::int64_t& used_bytes, std::int64_t& free_bytes,
                             unsigned long which) {
  return get_spaceinfo(used_bytes, free_bytes, static_cast<std::uint32_t>(which));
}
#elif defined(__linux__) && defined(__LP64__)
int CBrevanto::get_spaceinfo(long long& used_bytes, long long& free_bytes, std::uint32_t which) {
  // Through int64_t copies, as the two types are distinct. Only counts of 0
  // or more are ever stored, so a copy still at -1 was not written, and its
  // output is left as the host had it.
  std::int64_t used = -1;
  std::int64_t free_space = -1;
  const int result = get_spaceinfo(used, free_space, which);
  if (used >= 0) used_bytes = used;
  if (free_space >= 0) free_bytes = free_space;
  return result;
}
#endif

int CBrevanto::removefile(const wchar_t* path) {
  if (interface_type == INTERFACE_LOCAL_SERVICE) return service->removefile(path);
  return CloudBranch::removefile(*this, path);
}

int CBrevanto::removedir(const wchar_t* path) {
  if (interface_type == INTERFACE_LOCAL_SERVICE) return service->removedir(path);
  return CloudBranch::removedir(*this, path);
}

int CBrevanto::adddir(const wchar_t* path) {
  if (interface_type == INTERFACE_LOCAL_SERVICE) return service->adddir(path);
  if (interface_type == INTERFACE_CLOUD_LIBRARY) return CloudBranch::adddir(*this, path);
  return 0;
}

int CBrevanto::addfile(const wchar_t* local_path, const wchar_t* storage_path,
                       BrevantoProgressCallback callback, void* context) {
  if (interface_type == INTERFACE_LOCAL_SERVICE) {
    return service->addfile(local_path, storage_path, callback, context);
  }
  if (interface_type == INTERFACE_CLOUD_LIBRARY) {
    return CloudBranch::addfile(*this, local_path, storage_path, callback, context);
  }
  return 0;
}

int CBrevanto::updatefile(const wchar_t* local_path, const wchar_t* storage_path,
                          BrevantoProgressCallback callback, void* context) {
  // Only the local service can replace a stored file.
  if (interface_type == INTERFACE_LOCAL_SERVICE) {
    return service->updatefile(local_path, storage_path, callback, context);
  }
  return kNotSupported;
}

int CBrevanto::downloadfile(const wchar_t* local_path, const wchar_t* storage_path, bool flag,
                            BrevantoProgressCallback callback, void* context) {
  if (interface_type == INTERFACE_LOCAL_SERVICE) {
    return service->downloadfile(local_path, storage_path, callback, context);
  }
  if (interface_type == INTERFACE_CLOUD_LIBRARY) {
    return CloudBranch::downloadfile(*this, local_path, storage_path, flag, callback, context);
  }
  return 0;
}

int CBrevanto::update_plan() {
  if (interface_type == INTERFACE_CLOUD_LIBRARY) return CloudBranch::update_plan(*this);
  return 0;
}

int CBrevanto::get_creditcard_state() {
  if (interface_type == INTERFACE_CLOUD_LIBRARY) return CloudBranch::get_creditcard_state(*this);
  return 0;
}

int CBrevanto::error_code() const {
  if (interface_type == INTERFACE_LOCAL_SERVICE) return service->err_code;
  return cancel_flag.load();
}

const wchar_t* CBrevanto::error_msg() const {
  if (interface_type == INTERFACE_LOCAL_SERVICE) return service->err_text.c_str();
  return L"";
}

void CBrevanto::cancel_op() { cancel_flag.store(1); }
