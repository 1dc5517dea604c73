#include "cli/text.h"

#include <cstdint>

static_assert(sizeof(wchar_t) == 4, "the command-line host expects UTF-32 wide text");

namespace {

// Decodes one code point at `i`, advancing it; false on a malformed sequence.
bool decode_one(std::string_view s, std::size_t& i, char32_t& out) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  int extra = 0;
  char32_t min = 0;
  if (lead < 0x80) {
    out = lead;
    ++i;
    return true;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1, out = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, out = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, out = lead & 0x07, min = 0x10000;
  } else {
    return false;
  }
  if (i + extra >= s.size()) return false;  // sequence cut off at the end
  for (int k = 1; k <= extra; ++k) {
    const unsigned char next = byte(i + k);
    if ((next & 0xC0) != 0x80) return false;
    out = (out << 6) | (next & 0x3F);
  }
  if (out < min || out > 0x10FFFF || (out >= 0xD800 && out <= 0xDFFF)) return false;
  i += extra + 1;
  return true;
}

}  // namespace

bool is_valid_utf8(std::string_view utf8) {
  std::size_t i = 0;
  char32_t c;
  while (i < utf8.size()) {
    if (!decode_one(utf8, i, c)) return false;
  }
  return true;
}

std::wstring widen(std::string_view utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  char32_t c;
  while (i < utf8.size()) {
    if (!decode_one(utf8, i, c)) {
      throw TextError("not valid UTF-8: " + std::string(utf8));
    }
    out.push_back(static_cast<wchar_t>(c));
  }
  return out;
}

std::string narrow(std::wstring_view wide) {
  std::string out;
  out.reserve(wide.size());
  for (const wchar_t w : wide) {
    const auto c = static_cast<std::uint32_t>(w);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      if (c >= 0xD800 && c <= 0xDFFF) throw TextError("wide text holds a lone surrogate");
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c <= 0x10FFFF) {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      throw TextError("wide text holds a value beyond U+10FFFF");
    }
  }
  return out;
}
