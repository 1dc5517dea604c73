#include "platform/posix_utf8.h"

#include <cwchar>

namespace win32 {
namespace posix {

namespace {

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

std::size_t DecodeUtf8(const char* p, std::size_t n, char32_t* c) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(p);
  const unsigned char b = s[0];
  if (b < 0x80) {
    *c = b;
    return 1;
  }
  std::size_t len;
  char32_t value;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2;
    value = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3;
    value = b & 0x0F;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4;
    value = b & 0x07;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    *c = kReplacement;
    return 1;
  }
  for (std::size_t i = 1; i < len; ++i) {
    if (i >= n) {
      *c = kReplacement;
      return i;
    }
    const unsigned char t = s[i];
    const bool ok = i == 1 ? (t >= lo && t <= hi) : IsContinuation(t);
    if (!ok) {
      *c = kReplacement;
      return i;
    }
    value = (value << 6) | (t & 0x3F);
  }
  *c = value;
  return len;
}

std::size_t DecodeWide(const wchar_t* p, std::size_t n, char32_t* c) {
  const char32_t w = static_cast<char32_t>(p[0]);
  if (w >= 0xD800 && w <= 0xDBFF && n > 1) {
    const char32_t low = static_cast<char32_t>(p[1]);
    if (low >= 0xDC00 && low <= 0xDFFF) {
      *c = 0x10000 + ((w - 0xD800) << 10) + (low - 0xDC00);
      return 2;
    }
  }
  const bool valid = w < 0xD800 || (w > 0xDFFF && w <= 0x10FFFF);
  *c = valid ? w : kReplacement;
  return 1;
}

std::size_t EncodeUtf8(char32_t c, char* out) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

std::string WideToUtf8(const wchar_t* s, std::size_t n) {
  std::string out;
  out.reserve(n);
  char buf[4];
  for (std::size_t i = 0; i < n;) {
    char32_t c;
    i += DecodeWide(s + i, n - i, &c);
    out.append(buf, EncodeUtf8(c, buf));
  }
  return out;
}

std::string WideToUtf8(const wchar_t* s) {
  return WideToUtf8(s, std::wcslen(s));
}

std::wstring Utf8ToWide(const char* s, std::size_t n) {
  std::wstring out;
  out.reserve(n);
  for (std::size_t i = 0; i < n;) {
    char32_t c;
    i += DecodeUtf8(s + i, n - i, &c);
    out.push_back(static_cast<wchar_t>(c));
  }
  return out;
}

}  // namespace posix
}  // namespace win32
