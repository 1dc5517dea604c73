// Conversions between the caller's wide texts (UTF-32 wchar_t on Linux,
// UTF-16 on Windows), the records' UTF-16, UTF-8 and local file paths.
#ifndef QUORVEL_SRC_WIDE_TEXT_H_
#define QUORVEL_SRC_WIDE_TEXT_H_

#include <filesystem>
#include <string>

namespace quorvel {

// A NUL-terminated wide text as UTF-16; false for an unpaired surrogate or a
// value beyond U+10FFFF. A null pointer gives false.
bool WideToUtf16(const wchar_t* text, std::u16string* out);

// Well-formed UTF-16 to UTF-8 and back; false on an ill-formed input.
bool Utf16ToUtf8(const std::u16string& text, std::string* out);
bool Utf8ToUtf16(const std::string& text, std::u16string* out);

// A local path for a well-formed UTF-16 text (UTF-8 bytes on POSIX systems).
std::filesystem::path PathFromUtf16(const std::u16string& text);

// The UTF-16 form of a local file name; false when it has none (a POSIX name
// that is not UTF-8).
bool Utf16FromPath(const std::filesystem::path& name, std::u16string* out);

// A caller's local path: false when null, empty or ill-formed.
bool LocalPathFromWide(const wchar_t* text, std::filesystem::path* out);

}  // namespace quorvel

#endif  // QUORVEL_SRC_WIDE_TEXT_H_
