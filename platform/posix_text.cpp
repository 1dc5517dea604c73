// Code page conversions. The ANSI code pages are UTF-8 on this platform.
#include <climits>
#include <cstring>
#include <cwchar>

#include "platform/posix_error.h"
#include "platform/posix_utf8.h"
#include "platform/win32.h"

namespace win32 {

namespace {

bool IsUtf8CodePage(UINT code_page) {
  return code_page == CP_UTF8 || code_page == CP_ACP || code_page == CP_THREAD_ACP;
}

int FailConversion(DWORD code) {
  posix::SetLastError(code);
  return 0;
}

}  // namespace

int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_len,
                        LPSTR multi, int multi_len, LPCSTR default_char,
                        BOOL* used_default_char) {
  if (wide == nullptr || wide_len == 0 || multi_len < 0 ||
      (multi == nullptr && multi_len != 0) ||
      static_cast<const void*>(wide) == static_cast<const void*>(multi)) {
    return FailConversion(ERROR_INVALID_PARAMETER);
  }
  if (!IsUtf8CodePage(code_page)) return FailConversion(ERROR_INVALID_PARAMETER);
  if (flags != 0) return FailConversion(ERROR_INVALID_FLAGS);
  if (default_char != nullptr || used_default_char != nullptr) {
    return FailConversion(ERROR_INVALID_PARAMETER);
  }
  const std::size_t n = wide_len < 0 ? std::wcslen(wide) + 1 : wide_len;
  std::size_t used = 0;
  char buf[4];
  for (std::size_t i = 0; i < n;) {
    char32_t c;
    i += posix::DecodeWide(wide + i, n - i, &c);
    const std::size_t len = posix::EncodeUtf8(c, buf);
    if (multi_len > 0) {
      if (used + len > static_cast<std::size_t>(multi_len)) {
        return FailConversion(ERROR_INSUFFICIENT_BUFFER);
      }
      std::memcpy(multi + used, buf, len);
    }
    used += len;
    if (used > INT_MAX) return FailConversion(ERROR_INSUFFICIENT_BUFFER);
  }
  return static_cast<int>(used);
}

int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR multi, int multi_len,
                        LPWSTR wide, int wide_len) {
  if (multi == nullptr || multi_len == 0 || wide_len < 0 ||
      (wide == nullptr && wide_len != 0) ||
      static_cast<const void*>(wide) == static_cast<const void*>(multi)) {
    return FailConversion(ERROR_INVALID_PARAMETER);
  }
  if (!IsUtf8CodePage(code_page)) return FailConversion(ERROR_INVALID_PARAMETER);
  if (flags != 0) return FailConversion(ERROR_INVALID_FLAGS);
  const std::size_t n = multi_len < 0 ? std::strlen(multi) + 1 : multi_len;
  std::size_t used = 0;
  for (std::size_t i = 0; i < n; ++used) {
    char32_t c;
    const auto byte = static_cast<unsigned char>(multi[i]);
    if (byte < 0x80) {  // ASCII, the common case, needs no decoder
      c = byte;
      ++i;
    } else {
      i += posix::DecodeUtf8(multi + i, n - i, &c);
    }
    if (wide_len > 0) {
      if (used >= static_cast<std::size_t>(wide_len)) {
        return FailConversion(ERROR_INSUFFICIENT_BUFFER);
      }
      wide[used] = static_cast<wchar_t>(c);
    }
  }
  return static_cast<int>(used);
}

}  // namespace win32
