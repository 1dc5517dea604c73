// A SHA-256 digest kept as its 32 bytes: a manifest holds one per file, and
// its 64 hex digits as a string would cost a heap block each (some 16 MB
// for 200,000 files).
#ifndef BREVANTO_CLI_MANIFEST_DIGEST_H_
#define BREVANTO_CLI_MANIFEST_DIGEST_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

class Digest {
 public:
  Digest() = default;
  // From 64 hex digits of either case; an empty digest when `hex` is none.
  static Digest from_hex(std::string_view hex);

  // No digest known (a file the manifest does not list).
  bool empty() const { return !known_; }
  // 64 lower-case hex digits; empty when no digest is known.
  std::string hex() const;

  bool operator==(const Digest& other) const {
    return known_ == other.known_ && bytes_ == other.bytes_;
  }
  bool operator!=(const Digest& other) const { return !(*this == other); }

 private:
  std::array<std::uint8_t, 32> bytes_{};
  bool known_ = false;
};

#endif  // BREVANTO_CLI_MANIFEST_DIGEST_H_
