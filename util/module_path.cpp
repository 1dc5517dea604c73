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
