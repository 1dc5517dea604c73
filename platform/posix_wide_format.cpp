#include "platform/posix_wide_format.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "platform/posix_utf8.h"

namespace win32 {
namespace posix {

namespace {

enum Length { kDefault, kChar, kShort, kLong, kLongLong, kSize, kPtrdiff, kIntmax, kLongDouble, kWide };

struct Spec {
  bool left = false;
  bool plus = false;
  bool space = false;
  bool zero = false;
  bool alt = false;
  int width = 0;
  int precision = -1;  // none
  Length length = kDefault;
  wchar_t conversion = 0;
};

class Formatter {
 public:
  Formatter(va_list* args, std::wstring* out) : args_(args), out_(out) {}

  bool Run(const wchar_t* f);

 private:
  bool ParseSpec(const wchar_t*& f, Spec* spec);
  bool ReadNumber(const wchar_t*& f, int* value);
  bool Convert(const Spec& spec);
  void Pad(const Spec& spec, std::size_t body, bool zero_allowed);
  void Emit(const Spec& spec, const wchar_t* s, std::size_t n);
  void EmitNarrowString(const Spec& spec, const char* s);
  bool EmitNumber(const Spec& spec);
  bool EmitFloat(const Spec& spec);
  void EmitPointer(const Spec& spec);
  void EmitNarrow(const char* s, std::size_t n);

  va_list* args_;
  std::wstring* out_;
};

bool Formatter::ReadNumber(const wchar_t*& f, int* value) {
  long long v = 0;
  while (*f >= L'0' && *f <= L'9') {
    v = v * 10 + (*f++ - L'0');
    if (v > INT_MAX) return false;
  }
  *value = static_cast<int>(v);
  return true;
}

bool Formatter::ParseSpec(const wchar_t*& f, Spec* spec) {
  for (;; ++f) {
    if (*f == L'-') spec->left = true;
    else if (*f == L'+') spec->plus = true;
    else if (*f == L' ') spec->space = true;
    else if (*f == L'0') spec->zero = true;
    else if (*f == L'#') spec->alt = true;
    else break;
  }
  if (*f == L'*') {
    ++f;
    const int w = va_arg(*args_, int);
    if (w < 0) {
      if (w == INT_MIN) return false;
      spec->left = true;
      spec->width = -w;
    } else {
      spec->width = w;
    }
  } else if (!ReadNumber(f, &spec->width)) {
    return false;
  }
  if (*f == L'.') {
    ++f;
    if (*f == L'*') {
      ++f;
      const int p = va_arg(*args_, int);
      spec->precision = p < 0 ? -1 : p;
    } else if (!ReadNumber(f, &spec->precision)) {
      return false;
    }
  }
  switch (*f) {
    case L'h':
      spec->length = f[1] == L'h' ? kChar : kShort;
      f += f[1] == L'h' ? 2 : 1;
      break;
    case L'l':
      spec->length = f[1] == L'l' ? kLongLong : kLong;
      f += f[1] == L'l' ? 2 : 1;
      break;
    case L'I':
      if (f[1] == L'6' && f[2] == L'4') {
        spec->length = kLongLong;
        f += 3;
      } else if (f[1] == L'3' && f[2] == L'2') {
        f += 3;
      } else {
        spec->length = kSize;
        ++f;
      }
      break;
    case L'w': spec->length = kWide; ++f; break;
    case L'z': spec->length = kSize; ++f; break;
    case L't': spec->length = kPtrdiff; ++f; break;
    case L'j': spec->length = kIntmax; ++f; break;
    case L'L': spec->length = kLongDouble; ++f; break;
    default: break;
  }
  spec->conversion = *f;
  if (*f != L'\0') ++f;
  return true;
}

void Formatter::Pad(const Spec& spec, std::size_t body, bool zero_allowed) {
  if (static_cast<std::size_t>(spec.width) > body) {
    const wchar_t fill = zero_allowed && spec.zero && !spec.left ? L'0' : L' ';
    out_->append(spec.width - body, fill);
  }
}

void Formatter::Emit(const Spec& spec, const wchar_t* s, std::size_t n) {
  if (!spec.left) Pad(spec, n, true);
  out_->append(s, n);
  if (spec.left) Pad(spec, n, false);
}

void Formatter::EmitNarrow(const char* s, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out_->push_back(static_cast<wchar_t>(s[i]));
}

void Formatter::EmitNarrowString(const Spec& spec, const char* s) {
  std::wstring text;
  const std::size_t limit =
      spec.precision < 0 ? static_cast<std::size_t>(-1) : static_cast<std::size_t>(spec.precision);
  while (text.size() < limit && *s != '\0') {
    char32_t c;
    s += DecodeUtf8(s, static_cast<std::size_t>(-1), &c);
    text.push_back(static_cast<wchar_t>(c));
  }
  Emit(spec, text.data(), text.size());
}

bool Formatter::EmitNumber(const Spec& spec) {
  const wchar_t c = spec.conversion;
  std::string fmt = "%";
  if (spec.left) fmt += '-';
  if (spec.plus) fmt += '+';
  if (spec.space) fmt += ' ';
  if (spec.zero) fmt += '0';
  if (spec.alt) fmt += '#';
  fmt += std::to_string(spec.width);
  if (spec.precision >= 0) fmt += "." + std::to_string(spec.precision);
  fmt += "ll";
  fmt += static_cast<char>(c);
  long long s = 0;
  unsigned long long u = 0;
  if (c == L'd' || c == L'i') {
    switch (spec.length) {
      case kChar: s = static_cast<signed char>(va_arg(*args_, int)); break;
      case kShort: s = static_cast<short>(va_arg(*args_, int)); break;
      case kLong: s = va_arg(*args_, long); break;
      case kLongLong: s = va_arg(*args_, long long); break;
      case kSize: s = va_arg(*args_, std::ptrdiff_t); break;
      case kPtrdiff: s = va_arg(*args_, std::ptrdiff_t); break;
      case kIntmax: s = va_arg(*args_, std::intmax_t); break;
      default: s = va_arg(*args_, int); break;
    }
  } else {
    switch (spec.length) {
      case kChar: u = static_cast<unsigned char>(va_arg(*args_, unsigned)); break;
      case kShort: u = static_cast<unsigned short>(va_arg(*args_, unsigned)); break;
      case kLong: u = va_arg(*args_, unsigned long); break;
      case kLongLong: u = va_arg(*args_, unsigned long long); break;
      case kSize: u = va_arg(*args_, std::size_t); break;
      case kPtrdiff: u = va_arg(*args_, std::ptrdiff_t); break;
      case kIntmax: u = va_arg(*args_, std::uintmax_t); break;
      default: u = va_arg(*args_, unsigned); break;
    }
  }
  const bool is_signed = c == L'd' || c == L'i';
  char small[64];
  int n = is_signed ? std::snprintf(small, sizeof(small), fmt.c_str(), s)
                    : std::snprintf(small, sizeof(small), fmt.c_str(), u);
  if (n < 0) return false;
  if (static_cast<std::size_t>(n) < sizeof(small)) {
    EmitNarrow(small, n);
    return true;
  }
  std::vector<char> big(n + 1);
  n = is_signed ? std::snprintf(big.data(), big.size(), fmt.c_str(), s)
                : std::snprintf(big.data(), big.size(), fmt.c_str(), u);
  if (n < 0) return false;
  EmitNarrow(big.data(), n);
  return true;
}

bool Formatter::EmitFloat(const Spec& spec) {
  std::string fmt = "%";
  if (spec.left) fmt += '-';
  if (spec.plus) fmt += '+';
  if (spec.space) fmt += ' ';
  if (spec.zero) fmt += '0';
  if (spec.alt) fmt += '#';
  fmt += std::to_string(spec.width);
  if (spec.precision >= 0) fmt += "." + std::to_string(spec.precision);
  const bool is_long = spec.length == kLongDouble;
  if (is_long) fmt += 'L';
  fmt += static_cast<char>(spec.conversion);
  const long double ld = is_long ? va_arg(*args_, long double) : 0;
  const double d = is_long ? 0 : va_arg(*args_, double);
  const int n = is_long ? std::snprintf(nullptr, 0, fmt.c_str(), ld)
                        : std::snprintf(nullptr, 0, fmt.c_str(), d);
  if (n < 0) return false;
  std::vector<char> text(n + 1);
  if (is_long) std::snprintf(text.data(), text.size(), fmt.c_str(), ld);
  else std::snprintf(text.data(), text.size(), fmt.c_str(), d);
  EmitNarrow(text.data(), n);
  return true;
}

void Formatter::EmitPointer(const Spec& spec) {
  const auto v = reinterpret_cast<std::uintptr_t>(va_arg(*args_, void*));
  wchar_t digits[2 * sizeof(v)];
  for (std::size_t i = 0; i < 2 * sizeof(v); ++i) {
    digits[i] = L"0123456789ABCDEF"[(v >> (4 * (2 * sizeof(v) - 1 - i))) & 0xF];
  }
  Spec padded = spec;
  padded.zero = false;
  Emit(padded, digits, 2 * sizeof(v));
}

bool Formatter::Convert(const Spec& spec) {
  const bool forced_narrow = spec.length == kShort;
  const bool forced_wide = spec.length == kLong || spec.length == kWide;
  switch (spec.conversion) {
    case L'%':
      out_->push_back(L'%');
      return true;
    case L'c':
    case L'C': {
      const bool wide = forced_wide || (!forced_narrow && spec.conversion == L'c');
      wchar_t ch;
      if (wide) {
        ch = static_cast<wchar_t>(va_arg(*args_, int));
      } else {
        const unsigned char b = static_cast<unsigned char>(va_arg(*args_, int));
        ch = b < 0x80 ? static_cast<wchar_t>(b) : static_cast<wchar_t>(kReplacement);
      }
      Emit(spec, &ch, 1);
      return true;
    }
    case L's':
    case L'S': {
      const bool wide = forced_wide || (!forced_narrow && spec.conversion == L's');
      if (wide) {
        const wchar_t* s = va_arg(*args_, const wchar_t*);
        if (s == nullptr) s = L"(null)";
        const std::size_t n = spec.precision < 0 ? std::wcslen(s) : wcsnlen(s, spec.precision);
        Emit(spec, s, n);
      } else {
        const char* s = va_arg(*args_, const char*);
        EmitNarrowString(spec, s == nullptr ? "(null)" : s);
      }
      return true;
    }
    case L'd':
    case L'i':
    case L'u':
    case L'o':
    case L'x':
    case L'X':
      return EmitNumber(spec);
    case L'e':
    case L'E':
    case L'f':
    case L'F':
    case L'g':
    case L'G':
    case L'a':
    case L'A':
      return EmitFloat(spec);
    case L'p':
      EmitPointer(spec);
      return true;
    default:
      return false;
  }
}

bool Formatter::Run(const wchar_t* f) {
  while (*f != L'\0') {
    if (*f != L'%') {
      const wchar_t* start = f;
      while (*f != L'\0' && *f != L'%') ++f;
      out_->append(start, f - start);
      continue;
    }
    ++f;
    Spec spec;
    if (!ParseSpec(f, &spec) || !Convert(spec)) return false;
    if (out_->size() > INT_MAX) return false;
  }
  return true;
}

}  // namespace

bool FormatWide(const wchar_t* format, va_list args, std::wstring* out) {
  va_list copy;
  va_copy(copy, args);
  Formatter formatter(&copy, out);
  const bool ok = formatter.Run(format);
  va_end(copy);
  return ok;
}

}  // namespace posix
}  // namespace win32
