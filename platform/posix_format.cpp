// Wide printf entry points; each differs only in how it stores the result.
#include <cerrno>
#include <climits>
#include <string>

#include "platform/posix_wide_format.h"
#include "platform/win32.h"

namespace win32 {

namespace {

bool Format(const wchar_t* format, va_list args, std::wstring* out) {
  if (format != nullptr && posix::FormatWide(format, args, out)) return true;
  errno = EINVAL;
  return false;
}

}  // namespace

int _vscwprintf(const wchar_t* format, va_list args) {
  std::wstring out;
  if (!Format(format, args, &out)) return -1;
  return static_cast<int>(out.size());
}

// Stores up to `count` characters and a terminator if there is room; -1 when
// the text is cut. With no buffer and no count, returns the length.
int _vsnwprintf(wchar_t* buffer, std::size_t count, const wchar_t* format, va_list args) {
  std::wstring out;
  if (buffer == nullptr && count > 0) {
    errno = EINVAL;
    return -1;
  }
  if (!Format(format, args, &out)) return -1;
  if (buffer == nullptr) return static_cast<int>(out.size());
  if (out.size() > count) {
    out.copy(buffer, count);
    return -1;
  }
  out.copy(buffer, out.size());
  if (out.size() < count) buffer[out.size()] = L'\0';
  return static_cast<int>(out.size());
}

// Stores up to `count` - 1 characters and always a terminator; -1 when the
// text is cut.
int wvnsprintfW(LPWSTR buffer, int count, LPCWSTR format, va_list args) {
  if (buffer == nullptr || count <= 0) return -1;
  std::wstring out;
  if (!Format(format, args, &out)) {
    buffer[0] = L'\0';
    return -1;
  }
  const std::size_t room = static_cast<std::size_t>(count) - 1;
  const bool cut = out.size() > room;
  const std::size_t n = cut ? room : out.size();
  out.copy(buffer, n);
  buffer[n] = L'\0';
  return cut ? -1 : static_cast<int>(n);
}

}  // namespace win32
