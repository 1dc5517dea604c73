// SHA-256 (FIPS 180-4), enough for the stand-in's password hashes: there is
// no crypto library that this component can rely on everywhere.
#ifndef QUORVEL_SRC_SHA256_H_
#define QUORVEL_SRC_SHA256_H_

#include <array>
#include <cstddef>
#include <cstdint>

namespace quorvel {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, std::size_t size);
  Sha256Digest Finish();

 private:
  void Compress(const std::uint8_t* block);

  std::uint32_t state_[8];
  std::uint8_t buffer_[64];
  std::size_t buffered_ = 0;
  std::uint64_t total_bytes_ = 0;
};

}  // namespace quorvel

#endif  // QUORVEL_SRC_SHA256_H_
