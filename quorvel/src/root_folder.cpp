#include "root_folder.h"

#include <cstdlib>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

namespace quorvel {
namespace {

namespace fs = std::filesystem;

// An environment variable as a path; empty when unset or empty.
fs::path EnvironmentPath(const char* name) {
#ifdef _WIN32
  // The process environment, which _wputenv_s and SetEnvironmentVariableW
  // both update.
  const std::wstring wide_name(name, name + std::char_traits<char>::length(name));
  const DWORD size = ::GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  const DWORD length = ::GetEnvironmentVariableW(wide_name.c_str(), &value[0], size);
  if (length == 0 || length >= size) return {};
  value.resize(length);
  return fs::path(value);
#else
  const char* value = std::getenv(name);
  if (value == nullptr) return {};
  return fs::path(value);
#endif
}

fs::path DefaultRoot() {
#ifdef _WIN32
  const fs::path local_app_data = EnvironmentPath("LOCALAPPDATA");
  if (local_app_data.empty()) return {};
  return local_app_data / "Quorvel";
#else
  const fs::path data_home = EnvironmentPath("XDG_DATA_HOME");
  if (data_home.is_absolute()) return data_home / "quorvel";
  const fs::path home = EnvironmentPath("HOME");
  if (home.empty()) return {};
  return home / ".local" / "share" / "quorvel";
#endif
}

}  // namespace

bool ChooseRoot(RootLayout* layout) {
  fs::path root = EnvironmentPath("QUORVEL_ROOT");
  if (root.empty()) root = DefaultRoot();
  if (root.empty()) return false;
  // Absolute, so that a later change of the working directory moves nothing.
  std::error_code error;
  root = fs::absolute(root, error);
  if (error) return false;
  layout->root = root;
  return true;
}

bool PrepareRoot(const RootLayout& layout) {
  std::error_code error;
  for (const fs::path& folder : {layout.FilesFolder(), layout.IncomingFolder()}) {
    fs::create_directories(folder, error);
    if (error || !fs::is_directory(folder, error)) return false;
  }
  return true;
}

}  // namespace quorvel
