#include "util/decimal.h"

#include <limits>

namespace {

bool is_c_space(unsigned c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Reads sign and digits into a saturated magnitude. CharT is char or wchar_t.
template <typename CharT>
std::int64_t read_decimal(const CharT* p) {
  if (p == nullptr) return 0;
  while (is_c_space(static_cast<unsigned>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = (*p == '-');
    ++p;
  }
  // Accumulate as unsigned; the negative bound is one larger than the positive.
  const std::uint64_t limit = negative
      ? static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1
      : static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  std::uint64_t value = 0;
  bool saturated = false;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const unsigned digit = static_cast<unsigned>(*p - '0');
    if (saturated || value > (limit - digit) / 10) {
      saturated = true;
      continue;
    }
    value = value * 10 + digit;
  }
  if (saturated) value = limit;
  if (negative) {
    return value == limit ? std::numeric_limits<std::int64_t>::min()
                          : -static_cast<std::int64_t>(value);
  }
  return static_cast<std::int64_t>(value);
}

std::int32_t clamp32(std::int64_t v) {
  if (v > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (v < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(v);
}

}  // namespace

std::int64_t decimal_to_int64(const char* text) { return read_decimal(text); }

std::int32_t decimal_to_int32(const char* text) { return clamp32(read_decimal(text)); }

std::int32_t wide_decimal_to_int32(const wchar_t* text) { return clamp32(read_decimal(text)); }
