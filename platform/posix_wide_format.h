// The wide printf engine behind _vscwprintf, _vsnwprintf and wvnsprintfW,
// with the Windows meaning of the conversions.
//
// %s and %c take wide arguments, %S and %C narrow ones (UTF-8); h forces
// narrow, l and w force wide. Integers take the lengths hh, h, l, ll, I64,
// I32, I (pointer-sized), z, t, j. %p prints the pointer as zero-padded
// upper-case hex digits. A null string prints "(null)". The '0' flag pads
// strings and characters with zeros, as the Windows runtime does. %n and
// unknown conversions are errors.
#ifndef BREVANTO_PLATFORM_POSIX_WIDE_FORMAT_H_
#define BREVANTO_PLATFORM_POSIX_WIDE_FORMAT_H_

#include <cstdarg>
#include <string>

namespace win32 {
namespace posix {

// Appends the formatted text to `out`. Returns false on an invalid format or
// a result longer than INT_MAX characters.
bool FormatWide(const wchar_t* format, va_list args, std::wstring* out);

}  // namespace posix
}  // namespace win32

#endif  // BREVANTO_PLATFORM_POSIX_WIDE_FORMAT_H_
