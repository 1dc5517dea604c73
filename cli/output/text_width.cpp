#include "cli/output/text_width.h"

#include <locale.h>
#include <wchar.h>

namespace {

// One character at `i`: its byte length and code point; a byte that starts
// no valid sequence is taken alone as U+FFFD.
std::size_t next_char(std::string_view s, std::size_t i, char32_t& c) {
  const auto byte = [&s](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (length == 0 || i + length > s.size()) {
    c = 0xFFFD;
    return 1;
  }
  c = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      c = 0xFFFD;
      return 1;
    }
    c = (c << 6) | (byte(i + k) & 0x3F);
  }
  return length;
}

// wcwidth() under the C.UTF-8 locale, set for this thread only, so the
// answer does not depend on the user's locale settings.
int char_width(char32_t c) {
  if (c < 0x80) return 1;
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
  if (utf8 == locale_t(0)) return 1;
  const locale_t previous = uselocale(utf8);
  const int width = wcwidth(static_cast<wchar_t>(c));
  uselocale(previous);
  return width < 0 ? 1 : width;
}

}  // namespace

int display_width(std::string_view text) {
  int columns = 0;
  char32_t c;
  for (std::size_t i = 0; i < text.size();) {
    i += next_char(text, i, c);
    columns += char_width(c);
  }
  return columns;
}

std::string fit_columns(std::string_view text, int columns) {
  int used = 0;
  char32_t c;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = next_char(text, i, c);
    used += char_width(c);
    if (used > columns) return std::string(text.substr(0, i));
    i += length;
  }
  return std::string(text);
}
