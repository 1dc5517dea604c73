// Path queries: existence, the executable's path, directory creation.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix_error.h"
#include "platform/posix_utf8.h"
#include "platform/win32.h"

namespace win32 {

namespace {

int CreateResult(int code) {
  posix::SetLastError(code);
  return code;
}

bool ReadExecutablePath(std::string* path) {
  std::string buf(256, '\0');
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", &buf[0], buf.size());
    if (n < 0) return false;
    if (static_cast<std::size_t>(n) < buf.size()) {
      buf.resize(n);
      path->swap(buf);
      return true;
    }
    buf.resize(buf.size() * 2);
  }
}

}  // namespace

BOOL PathFileExistsW(LPCWSTR path) {
  if (path == nullptr) {
    posix::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string name = posix::WideToUtf8(path);
  struct stat st;
  if (stat(name.c_str(), &st) == 0) return TRUE;
  posix::SetLastError(posix::PathError(errno, name.c_str()));
  return FALSE;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size) {
  if (module != nullptr) {
    posix::SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  std::string exe;
  if (!ReadExecutablePath(&exe)) {
    posix::SetLastError(posix::SystemError(errno));
    return 0;
  }
  const std::wstring wide = posix::Utf8ToWide(exe.data(), exe.size());
  if (wide.size() < size) {
    wide.copy(file_name, wide.size());
    file_name[wide.size()] = L'\0';
    return static_cast<DWORD>(wide.size());
  }
  // Cut to size - 1 characters and the terminator.
  if (size > 0) {
    wide.copy(file_name, size - 1);
    file_name[size - 1] = L'\0';
  }
  posix::SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

int SHCreateDirectory(HWND /*owner*/, LPCWSTR path) {
  if (path == nullptr) return CreateResult(ERROR_BAD_PATHNAME);
  std::string dir = posix::WideToUtf8(path);
  // Only full paths are accepted, as on Windows.
  if (dir.empty() || dir[0] != '/') return CreateResult(ERROR_BAD_PATHNAME);
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return CreateResult(ERROR_ALREADY_EXISTS);
  for (std::size_t slash = dir.find('/', 1); slash != std::string::npos;
       slash = dir.find('/', slash + 1)) {
    if (dir[slash - 1] == '/') continue;
    const std::string parent = dir.substr(0, slash);
    if (mkdir(parent.c_str(), 0777) != 0 && errno != EEXIST) {
      return CreateResult(posix::PathError(errno, parent.c_str()));
    }
  }
  if (mkdir(dir.c_str(), 0777) != 0) {
    if (errno == EEXIST) return CreateResult(ERROR_ALREADY_EXISTS);
    return CreateResult(posix::PathError(errno, dir.c_str()));
  }
  return ERROR_SUCCESS;
}

}  // namespace win32
