// Text conversions and printf-style formatting into growable strings.
//
// Wide text is UTF-16 on Windows and UTF-32 elsewhere; the wire carries UTF-8
// and the log files UTF-16LE on every platform. Conversions use no flags and
// no default character. A failed conversion or format raises text_error.
#ifndef BREVANTO_UTIL_TEXT_H_
#define BREVANTO_UTIL_TEXT_H_

#include <stdexcept>
#include <string>
#include <string_view>

class text_error : public std::runtime_error {
 public:
  explicit text_error(const char* what) : std::runtime_error(what) {}
};

// Wide to narrow in the given code page (CP_UTF8, or CP_THREAD_ACP for the
// service address). A null text gives an empty string.
std::string wide_to_narrow(const wchar_t* text, unsigned code_page);
inline std::string to_utf8(const wchar_t* text) { return wide_to_narrow(text, 65001); }

// UTF-8 to wide. A null text gives an empty string.
std::wstring utf8_to_wide(std::string_view text);
// Appends the UTF-8 text to `out` as wide text, in one conversion pass.
void append_utf8_as_wide(std::wstring& out, std::string_view text);
inline std::wstring utf8_to_wide(const char* text) {
  return text ? utf8_to_wide(std::string_view(text)) : std::wstring();
}

// True when `text` is well-formed UTF-8: no overlong forms, surrogates,
// values past U+10FFFF or cut-off sequences. The conversions replace what
// this refuses; a caller that must refuse such text checks it first.
bool is_valid_utf8(std::string_view text);

// The UTF-16LE bytes of a wide text, as both log files store it.
std::string utf16le_bytes(std::wstring_view text);
void append_utf16le(std::string& out, std::wstring_view text);

// printf-style formatting; in wide formats %s takes a wide string and %S a
// narrow one on every platform, as on Windows.
std::wstring format_wide(const wchar_t* format, ...);
std::string format_narrow(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// True when the wide text holds a double quote, which would end an attribute
// value early if sent unescaped.
bool has_double_quote(const wchar_t* text);

#endif  // BREVANTO_UTIL_TEXT_H_
