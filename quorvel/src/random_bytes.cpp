#include "random_bytes.h"

#include <random>

namespace quorvel {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::vector<std::uint8_t> RandomBytes(std::size_t count) {
  std::random_device device;
  std::vector<std::uint8_t> bytes;
  bytes.reserve(count);
  while (bytes.size() < count) {
    std::uint32_t word = device();
    for (int i = 0; i < 4 && bytes.size() < count; ++i, word >>= 8) {
      bytes.push_back(static_cast<std::uint8_t>(word));
    }
  }
  return bytes;
}

std::string ToHex(const std::uint8_t* bytes, std::size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * count);
  for (std::size_t i = 0; i < count; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0f]);
  }
  return text;
}

std::string ToHex(const std::vector<std::uint8_t>& bytes) {
  return ToHex(bytes.data(), bytes.size());
}

bool FromHex(const std::string& text, std::vector<std::uint8_t>* bytes) {
  if (text.size() % 2 != 0) return false;
  bytes->clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = HexValue(text[i]);
    const int low = HexValue(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return true;
}

}  // namespace quorvel
