#include "wide_text.h"

#include <cstdint>

namespace quorvel {
namespace {

bool IsHighSurrogate(std::uint32_t c) { return c >= 0xD800 && c < 0xDC00; }
bool IsLowSurrogate(std::uint32_t c) { return c >= 0xDC00 && c < 0xE000; }

void AppendUtf16(std::uint32_t c, std::u16string* out) {
  if (c < 0x10000) {
    out->push_back(static_cast<char16_t>(c));
  } else {
    c -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  }
}

// Reads one code point at `*i` of UTF-16 `text`; false when ill-formed.
bool NextUtf16(const std::u16string& text, std::size_t* i, std::uint32_t* c) {
  const std::uint32_t first = text[(*i)++];
  if (IsLowSurrogate(first)) return false;
  if (!IsHighSurrogate(first)) {
    *c = first;
    return true;
  }
  if (*i >= text.size() || !IsLowSurrogate(text[*i])) return false;
  *c = 0x10000 + ((first - 0xD800) << 10) + (text[(*i)++] - 0xDC00);
  return true;
}

}  // namespace

bool WideToUtf16(const wchar_t* text, std::u16string* out) {
  if (text == nullptr) return false;
  out->clear();
  for (const wchar_t* p = text; *p != L'\0'; ++p) {
    if (sizeof(wchar_t) == 2) {
      out->push_back(static_cast<char16_t>(*p));
      continue;
    }
    const auto c = static_cast<std::uint32_t>(*p);
    if (c > 0x10FFFF || IsHighSurrogate(c) || IsLowSurrogate(c)) return false;
    AppendUtf16(c, out);
  }
  // With 16-bit wchar_t the units were copied as they are: check the pairs.
  std::size_t i = 0;
  std::uint32_t c;
  while (i < out->size()) {
    if (!NextUtf16(*out, &i, &c)) return false;
  }
  return true;
}

bool Utf16ToUtf8(const std::u16string& text, std::string* out) {
  out->clear();
  std::size_t i = 0;
  while (i < text.size()) {
    std::uint32_t c;
    if (!NextUtf16(text, &i, &c)) return false;
    if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (c >> 6)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (c >> 12)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (c >> 18)));
      out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return true;
}

bool Utf8ToUtf16(const std::string& text, std::u16string* out) {
  out->clear();
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<std::uint8_t>(text[i++]);
    std::uint32_t c;
    int more;
    std::uint32_t least;  // smallest value of this length: longer forms are refused
    if (lead < 0x80) {
      c = lead, more = 0, least = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      c = lead & 0x1F, more = 1, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      c = lead & 0x0F, more = 2, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      c = lead & 0x07, more = 3, least = 0x10000;
    } else {
      return false;
    }
    for (int k = 0; k < more; ++k) {
      if (i >= text.size()) return false;
      const auto next = static_cast<std::uint8_t>(text[i++]);
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3F);
    }
    if (c < least || c > 0x10FFFF || IsHighSurrogate(c) || IsLowSurrogate(c)) return false;
    AppendUtf16(c, out);
  }
  return true;
}

std::filesystem::path PathFromUtf16(const std::u16string& text) {
#ifdef _WIN32
  return std::filesystem::path(std::wstring(text.begin(), text.end()));
#else
  std::string utf8;
  Utf16ToUtf8(text, &utf8);
  return std::filesystem::path(utf8);
#endif
}

bool Utf16FromPath(const std::filesystem::path& name, std::u16string* out) {
#ifdef _WIN32
  const std::wstring& native = name.native();
  out->assign(native.begin(), native.end());
  return true;
#else
  return Utf8ToUtf16(name.native(), out);
#endif
}

bool LocalPathFromWide(const wchar_t* text, std::filesystem::path* out) {
  std::u16string utf16;
  if (!WideToUtf16(text, &utf16) || utf16.empty()) return false;
  *out = PathFromUtf16(utf16);
  return true;
}

}  // namespace quorvel
