// Local time and FILETIME arithmetic.
#include <ctime>
#include <cwchar>

#include "platform/posix_error.h"
#include "platform/win32.h"

namespace win32 {

namespace {

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// Days from 1601-01-01 to the given date of the proleptic Gregorian calendar.
std::int64_t DaysSince1601(int y, int m, int d) {
  static const int kBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const std::int64_t years = y - 1601;
  std::int64_t days = years * 365 + years / 4 - years / 100 + years / 400;
  days += kBefore[m - 1] + (m > 2 && IsLeapYear(y) ? 1 : 0);
  return days + d - 1;
}

tm LocalNow(long* nanoseconds) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local;
  localtime_r(&ts.tv_sec, &local);
  if (nanoseconds != nullptr) *nanoseconds = ts.tv_nsec;
  return local;
}

// Writes "aa?bb?cc" and a NUL: three two-digit fields (each 0 to 99) and
// the separator. The trace log stamps every line with two of these.
void WriteTriple(wchar_t* out, int a, int b, int c, wchar_t separator) {
  const int fields[3] = {a, b, c};
  for (int i = 0; i < 3; ++i) {
    out[i * 3] = static_cast<wchar_t>(L'0' + fields[i] / 10);
    out[i * 3 + 1] = static_cast<wchar_t>(L'0' + fields[i] % 10);
    if (i < 2) out[i * 3 + 2] = separator;
  }
  out[8] = L'\0';
}

}  // namespace

void GetLocalTime(SYSTEMTIME* time) {
  long ns;
  const tm t = LocalNow(&ns);
  time->wYear = static_cast<WORD>(t.tm_year + 1900);
  time->wMonth = static_cast<WORD>(t.tm_mon + 1);
  time->wDayOfWeek = static_cast<WORD>(t.tm_wday);
  time->wDay = static_cast<WORD>(t.tm_mday);
  time->wHour = static_cast<WORD>(t.tm_hour);
  time->wMinute = static_cast<WORD>(t.tm_min);
  time->wSecond = static_cast<WORD>(t.tm_sec > 59 ? 59 : t.tm_sec);
  time->wMilliseconds = static_cast<WORD>(ns / 1000000);
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* file_time) {
  if (st == nullptr || file_time == nullptr || st->wYear < 1601 ||
      st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1 ||
      st->wDay > DaysInMonth(st->wYear, st->wMonth) || st->wHour > 23 ||
      st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999) {
    posix::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::int64_t seconds = DaysSince1601(st->wYear, st->wMonth, st->wDay) * 86400 +
                               st->wHour * 3600 + st->wMinute * 60 + st->wSecond;
  const std::uint64_t ticks =
      static_cast<std::uint64_t>(seconds * 1000 + st->wMilliseconds) * 10000;
  file_time->dwLowDateTime = static_cast<DWORD>(ticks);
  file_time->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return TRUE;
}

wchar_t* _wstrdate(wchar_t* buffer) {
  const tm t = LocalNow(nullptr);
  WriteTriple(buffer, t.tm_mon + 1, t.tm_mday, t.tm_year % 100, L'/');
  return buffer;
}

wchar_t* _wstrtime(wchar_t* buffer) {
  const tm t = LocalNow(nullptr);
  WriteTriple(buffer, t.tm_hour, t.tm_min, t.tm_sec > 59 ? 59 : t.tm_sec, L':');
  return buffer;
}

}  // namespace win32
