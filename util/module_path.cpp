#include "util/module_path.h"

#include <vector>

#include "platform/win32.h"

std::wstring executable_directory() {
  // Grow the buffer until the whole path fits: paths may exceed MAX_PATH.
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD len = win32::GetModuleFileNameW(nullptr, buffer.data(), size);
    if (len == 0) return std::wstring();
    if (len < size) {
      std::wstring path(buffer.data(), len);
      const std::size_t sep = path.rfind(BREVANTO_PATH_SEPARATOR);
      if (sep == std::wstring::npos) return std::wstring();
      path.resize(sep + 1);
      return path;
    }
    if (buffer.size() >= 32768 * 4) return std::wstring();
    buffer.resize(buffer.size() * 2);
  }
}

#ifdef _WIN32

std::wstring log_directory() {
  const std::wstring directory = executable_directory();
  if (directory.empty()) return directory;
  const std::wstring logs = directory + L"Logs\\";
  win32::SHCreateDirectory(nullptr, logs.c_str());
  return logs;
}

void rotate_large_log(const std::wstring&) {}

#else  // Linux: the user's state folder when the executable's is not writable

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "util/text.h"

namespace {

// Creates `dir` and its parents (mode 0700 for those it makes); true when it
// then exists as a folder this process may write into.
bool writable_folder(const std::string& dir) {
  for (std::size_t slash = dir.find('/', 1); slash != std::string::npos;
       slash = dir.find('/', slash + 1)) {
    mkdir(dir.substr(0, slash).c_str(), 0700);
  }
  mkdir(dir.c_str(), 0700);
  struct stat st;
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && access(dir.c_str(), W_OK | X_OK) == 0;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

std::wstring log_directory() {
  std::string dir = environment("BREVANTO_LOG_DIR");
  if (dir.empty()) {
    const std::wstring beside = executable_directory();
    if (!beside.empty() && writable_folder(to_utf8(beside.c_str()) + "Logs")) {
      return beside + L"Logs/";
    }
    std::string state = environment("XDG_STATE_HOME");
    if (state.empty() || state[0] != '/') {
      const std::string home = environment("HOME");
      if (home.empty()) return std::wstring();
      state = home + "/.local/state";
    }
    dir = state + "/brevanto/Logs";
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (!writable_folder(dir)) return std::wstring();
  return utf8_to_wide(dir + "/");
}

void rotate_large_log(const std::wstring& path) {
  const std::string name = to_utf8(path.c_str());
  struct stat st;
  if (stat(name.c_str(), &st) != 0 || static_cast<std::uint64_t>(st.st_size) <= kLogRotateBytes) {
    return;
  }
  std::rename(name.c_str(), (name + ".1").c_str());
}

#endif
