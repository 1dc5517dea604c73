// UTF-8 and UTF-32 (wchar_t) codec of the POSIX platform layer.
//
// Invalid input becomes U+FFFD as Windows converts without flags: one for
// each maximal subpart of an ill-formed UTF-8 sequence, one for each lone
// surrogate or out-of-range wide value. A high surrogate followed by a low
// one in wide input is taken as the pair it encodes.
#ifndef BREVANTO_PLATFORM_POSIX_UTF8_H_
#define BREVANTO_PLATFORM_POSIX_UTF8_H_

#include <cstddef>
#include <string>

namespace win32 {
namespace posix {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes the code point at `p`, reading at most `n` bytes (n > 0). Stores it
// in `*c` and returns the bytes consumed (>= 1). A NUL byte never continues a
// sequence, so NUL-terminated text may be read with a large `n`.
std::size_t DecodeUtf8(const char* p, std::size_t n, char32_t* c);

// Reads one code point from `n` wide characters (n > 0) into `*c`; returns
// the characters consumed (1, or 2 for a surrogate pair).
std::size_t DecodeWide(const wchar_t* p, std::size_t n, char32_t* c);

// Writes the UTF-8 form of `c` (a valid scalar value) to `out`, which holds
// at least 4 bytes; returns its length.
std::size_t EncodeUtf8(char32_t c, char* out);

std::string WideToUtf8(const wchar_t* s, std::size_t n);
std::string WideToUtf8(const wchar_t* s);
std::wstring Utf8ToWide(const char* s, std::size_t n);

}  // namespace posix
}  // namespace win32

#endif  // BREVANTO_PLATFORM_POSIX_UTF8_H_
