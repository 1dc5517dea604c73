#include "client/Brevanto.h"

#include "platform/win32.h"

#include <cstdarg>

#include "util/text.h"

namespace {

// Messages are formatted into 4096 characters with a limit of 4094 including
// the terminator, so a longer message keeps its first 4093 characters.
constexpr int kMessageBuffer = 4096;
constexpr int kMessageLimit = 4094;

HANDLE duplicate(HANDLE source) {
  if (source == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  HANDLE copy = INVALID_HANDLE_VALUE;
  if (!win32::DuplicateHandle(win32::GetCurrentProcess(), source, win32::GetCurrentProcess(),
                              &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return INVALID_HANDLE_VALUE;
  }
  return copy;
}

}  // namespace

ClogEx::ClogEx() : handle(INVALID_HANDLE_VALUE) {}

ClogEx::~ClogEx() { close(); }

ClogEx::ClogEx(const ClogEx& other) : handle(duplicate(other.handle)) {}

ClogEx& ClogEx::operator=(const ClogEx& other) {
  if (this != &other) {
    close();
    handle = duplicate(other.handle);
  }
  return *this;
}

bool ClogEx::create(const wchar_t* file_name) {
  close();
  // Append-only, so that clients sharing the file never write over each
  // other's lines.
  handle = win32::CreateFileW(file_name, GENERIC_READ | FILE_APPEND_DATA | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
  return handle != INVALID_HANDLE_VALUE;
}

void ClogEx::close() {
  if (handle != INVALID_HANDLE_VALUE) {
    win32::CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }
}

void ClogEx::write(const wchar_t* format, ...) {
  if (handle == INVALID_HANDLE_VALUE) return;
  wchar_t message[kMessageBuffer] = {0};
  va_list args;
  va_start(args, format);
  win32::wvnsprintfW(message, kMessageLimit, format, args);
  va_end(args);

  SYSTEMTIME now;
  win32::GetLocalTime(&now);
  const std::wstring line =
      format_wide(L"[%04d/%02d/%02d %02d:%02d:%02d:%02d] : %s \r\n", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds / 10, message);
  const std::string bytes = utf16le_bytes(line);
  // With the high word given, a file past 4 GiB is still appended to rather
  // than written over from the start.
  LONG high = 0;
  win32::SetFilePointer(handle, 0, &high, FILE_END);
  DWORD written = 0;
  win32::WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}
