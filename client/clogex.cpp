#include "client/Brevanto.h"

#include "platform/win32.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "util/text.h"

namespace {

// A message keeps at most its first 4093 UTF-16 units, as it is stored in
// the file, on every platform (wchar_t is UTF-16 on Windows, UTF-32
// elsewhere), and is never cut inside a surrogate pair. It is formatted with
// one character more than kept, so the cut sees what follows its last unit.
constexpr int kMessageBuffer = 4096;
constexpr int kMessageLimit = 4095;
constexpr std::size_t kMessageUnits = 4093;

bool is_high_surrogate(std::uint32_t c) { return c >= 0xD800 && c < 0xDC00; }
bool is_low_surrogate(std::uint32_t c) { return c >= 0xDC00 && c < 0xE000; }

// Ends `message` after the most characters that fit in `units` UTF-16 units.
void cut_to_utf16_units(wchar_t* message, std::size_t units) {
  std::size_t used = 0;
  std::size_t i = 0;
  while (message[i] != L'\0') {
    const std::uint32_t c = static_cast<std::uint32_t>(message[i]);
    const std::uint32_t next = static_cast<std::uint32_t>(message[i + 1]);
    std::size_t chars = 1;  // wchar_t elements of this character
    std::size_t width = 1;  // its UTF-16 units
    if (c > 0xFFFF) {
      width = 2;
    } else if (is_high_surrogate(c) && is_low_surrogate(next)) {
      chars = 2;
      width = 2;
    }
    if (used + width > units) break;
    used += width;
    i += chars;
  }
  message[i] = L'\0';
}

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
  cut_to_utf16_units(message, kMessageUnits);

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
