#include "util/text.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

#include "platform/win32.h"

std::string wide_to_narrow(const wchar_t* text, unsigned code_page) {
  if (text == nullptr || *text == L'\0') return std::string();
  const int wide_len = static_cast<int>(std::wcslen(text));
  const int needed =
      win32::WideCharToMultiByte(code_page, 0, text, wide_len, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) throw text_error("wide to narrow conversion failed");
  std::string out(static_cast<std::size_t>(needed), '\0');
  if (win32::WideCharToMultiByte(code_page, 0, text, wide_len, &out[0], needed, nullptr,
                                 nullptr) != needed) {
    throw text_error("wide to narrow conversion failed");
  }
  return out;
}

std::wstring utf8_to_wide(std::string_view text) {
  std::wstring out;
  append_utf8_as_wide(out, text);
  return out;
}

void append_utf8_as_wide(std::wstring& out, std::string_view text) {
  if (text.empty()) return;
  // A UTF-8 text never has more UTF-16 units (or code points) than bytes,
  // so one pass into room for every byte converts it; the rest is cut off.
  const std::size_t start = out.size();
  out.resize(start + text.size());
  wchar_t* const to = &out[start];
  // An ASCII byte is the same character in every conversion: the leading run
  // of them is widened here, and only the rest goes through the converter.
  std::size_t ascii = 0;
  while (ascii < text.size() && static_cast<unsigned char>(text[ascii]) < 0x80) {
    to[ascii] = static_cast<wchar_t>(text[ascii]);
    ++ascii;
  }
  std::size_t written = ascii;
  if (ascii < text.size()) {
    const int rest = static_cast<int>(text.size() - ascii);
    const int converted =
        win32::MultiByteToWideChar(CP_UTF8, 0, text.data() + ascii, rest, to + ascii, rest);
    if (converted <= 0) {
      out.resize(start);
      throw text_error("UTF-8 to wide conversion failed");
    }
    written += static_cast<std::size_t>(converted);
  }
  out.resize(start + written);
}

bool is_valid_utf8(std::string_view text) {
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // The lead byte fixes the length and the range of the second byte, which
    // excludes overlong forms, surrogates and values past U+10FFFF.
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

std::string utf16le_bytes(std::wstring_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  append_utf16le(out, text);
  return out;
}

void append_utf16le(std::string& out, std::wstring_view text) {
  auto put_unit = [&out](unsigned unit) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>((unit >> 8) & 0xFF));
  };
  for (wchar_t wc : text) {
    const auto cp = static_cast<std::uint32_t>(wc);
    if (cp > 0xFFFF && cp <= 0x10FFFF) {  // only where wchar_t is UTF-32
      const std::uint32_t v = cp - 0x10000;
      put_unit(0xD800 + (v >> 10));
      put_unit(0xDC00 + (v & 0x3FF));
    } else if (cp > 0x10FFFF) {
      put_unit(0xFFFD);
    } else {
      put_unit(cp);
    }
  }
}

std::wstring format_wide(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int needed = win32::_vscwprintf(format, measure);
  va_end(measure);
  if (needed < 0) {
    va_end(args);
    throw text_error("formatting failed");
  }
  std::wstring out(static_cast<std::size_t>(needed) + 1, L'\0');
  const int written = win32::_vsnwprintf(&out[0], out.size(), format, args);
  va_end(args);
  if (written != needed) throw text_error("formatting failed");
  out.resize(static_cast<std::size_t>(needed));
  return out;
}

std::string format_narrow(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int needed = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (needed < 0) {
    va_end(args);
    throw text_error("formatting failed");
  }
  std::string out(static_cast<std::size_t>(needed) + 1, '\0');
  const int written = std::vsnprintf(&out[0], out.size(), format, args);
  va_end(args);
  if (written != needed) throw text_error("formatting failed");
  out.resize(static_cast<std::size_t>(needed));
  return out;
}

bool has_double_quote(const wchar_t* text) {
  return text != nullptr && std::wcschr(text, L'"') != nullptr;
}
