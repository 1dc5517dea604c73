#include "service/store/chunker.h"

#include <array>

namespace {

// A cut where the hash's top 20 bits are zero: one byte in 2^20.
constexpr std::uint64_t kCutMask = 0xFFFFF00000000000ull;

// 256 random values, made by splitmix64 from a fixed seed (they must never
// change: see chunker.h).
constexpr std::array<std::uint64_t, 256> make_gear() {
  std::array<std::uint64_t, 256> gear{};
  std::uint64_t state = 0x42726576616e746full;
  for (std::uint64_t& value : gear) {
    state += 0x9e3779b97f4a7c15ull;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    value = z ^ (z >> 31);
  }
  return gear;
}

constexpr std::array<std::uint64_t, 256> kGear = make_gear();

}  // namespace

std::size_t Chunker::scan(const unsigned char* data, std::size_t size, bool* cut) {
  *cut = false;
  std::size_t i = 0;
  std::size_t length = length_;
  if (length < kMinBytes) {
    i = kMinBytes - length < size ? kMinBytes - length : size;
    length += i;
  }
  // The loop keeps the hash in a register: `data` may alias the members.
  std::uint64_t hash = hash_;
  const std::size_t start = i;
  const std::size_t end = kMaxBytes - length < size - i ? i + (kMaxBytes - length) : size;
  for (; i < end; ++i) {
    hash = (hash << 1) + kGear[data[i]];
    if ((hash & kCutMask) == 0) {
      ++i;
      *cut = true;
      break;
    }
  }
  length += i - start;
  if (*cut || length >= kMaxBytes) {
    *cut = true;
    hash_ = 0;
    length_ = 0;
    return i;
  }
  hash_ = hash;
  length_ = length;
  return i;
}
