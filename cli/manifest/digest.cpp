#include "cli/manifest/digest.h"

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Digest Digest::from_hex(std::string_view hex) {
  Digest digest;
  if (hex.size() != 2 * digest.bytes_.size()) return digest;
  for (std::size_t i = 0; i < digest.bytes_.size(); ++i) {
    const int high = hex_value(hex[2 * i]);
    const int low = hex_value(hex[2 * i + 1]);
    if (high < 0 || low < 0) return Digest();
    digest.bytes_[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  digest.known_ = true;
  return digest;
}

std::string Digest::hex() const {
  if (!known_) return std::string();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text(2 * bytes_.size(), '0');
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    text[2 * i] = kHex[bytes_[i] >> 4];
    text[2 * i + 1] = kHex[bytes_[i] & 15];
  }
  return text;
}
