#include "cli/output/json_text.h"

#include <cmath>
#include <cstdio>

#include "util/text.h"

namespace {

bool continuation(std::string_view text, std::size_t at, unsigned char low = 0x80,
                  unsigned char high = 0xbf) {
  if (at >= text.size()) return false;
  const auto byte = static_cast<unsigned char>(text[at]);
  return byte >= low && byte <= high;
}

// The length of the well-formed UTF-8 sequence at `at`, or 0 when the byte
// there starts none (no overlong forms, surrogates or values past U+10FFFF).
std::size_t sequence_length(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return 1;
  if (lead >= 0xc2 && lead <= 0xdf) return continuation(text, at + 1) ? 2 : 0;
  if (lead >= 0xe0 && lead <= 0xef) {
    const unsigned char low = lead == 0xe0 ? 0xa0 : 0x80;
    const unsigned char high = lead == 0xed ? 0x9f : 0xbf;
    return continuation(text, at + 1, low, high) && continuation(text, at + 2) ? 3 : 0;
  }
  if (lead >= 0xf0 && lead <= 0xf4) {
    const unsigned char low = lead == 0xf0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xf4 ? 0x8f : 0xbf;
    return continuation(text, at + 1, low, high) && continuation(text, at + 2) &&
                   continuation(text, at + 3)
               ? 4
               : 0;
  }
  return 0;
}

}  // namespace

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const std::size_t length = sequence_length(text, i);
    if (length > 1) {
      out.append(text.substr(i, length));
      i += length;
      continue;
    }
    ++i;
    char escape[8];
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (length == 0) {  // a byte outside UTF-8: \xNN, its backslash escaped
          std::snprintf(escape, sizeof(escape), "\\\\x%02x", static_cast<unsigned char>(c));
          out += escape;
        } else if (static_cast<unsigned char>(c) < 0x20) {
          std::snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(c));
          out += escape;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string hex_bytes(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() * 2);
  for (const char c : text) {
    out += kHex[static_cast<unsigned char>(c) >> 4];
    out += kHex[static_cast<unsigned char>(c) & 15];
  }
  return out;
}

JsonObject& JsonObject::raw(const char* name, std::string_view json) {
  if (!members_.empty()) members_ += ',';
  members_ += json_string(name);
  members_ += ':';
  members_.append(json);
  return *this;
}

JsonObject& JsonObject::string(const char* name, std::string_view value) {
  return raw(name, json_string(value));
}

JsonObject& JsonObject::name(const char* name, std::string_view value) {
  string(name, value);
  if (!is_valid_utf8(value)) {
    raw((std::string(name) + "_hex").c_str(), json_string(hex_bytes(value)));
  }
  return *this;
}

JsonObject& JsonObject::number(const char* name, double value) {
  if (!std::isfinite(value)) return raw(name, "0");
  char text[48];
  std::snprintf(text, sizeof(text), "%.3f", value);
  std::string out = text;
  out.erase(out.find_last_not_of('0') + 1);
  if (out.back() == '.') out.pop_back();
  if (out == "-0") out = "0";
  return raw(name, out);
}

JsonObject& JsonObject::append(const JsonObject& other) {
  if (!members_.empty() && !other.members_.empty()) members_ += ',';
  members_ += other.members_;
  return *this;
}
