#include "password_hash.h"

namespace quorvel {

Sha256Digest HashPassword(const std::vector<std::uint8_t>& salt, const std::string& password_utf8,
                          std::uint32_t iterations) {
  Sha256 first;
  first.Update(salt.data(), salt.size());
  first.Update(password_utf8.data(), password_utf8.size());
  Sha256Digest digest = first.Finish();
  for (std::uint32_t i = 0; i < iterations; ++i) {
    Sha256 round;
    round.Update(digest.data(), digest.size());
    round.Update(password_utf8.data(), password_utf8.size());
    digest = round.Finish();
  }
  return digest;
}

bool SameDigest(const Sha256Digest& a, const std::vector<std::uint8_t>& b) {
  if (b.size() != a.size()) return false;
  std::uint8_t difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) difference |= a[i] ^ b[i];
  return difference == 0;
}

}  // namespace quorvel
