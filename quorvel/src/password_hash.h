// The stand-in's own password scheme: a salted, iterated SHA-256. It is not
// PBKDF2 or any other standard; it only keeps the password itself out of the
// account file.
//
//   h(0) = SHA-256(salt || password)
//   h(i) = SHA-256(h(i-1) || password)    for i = 1 .. iterations
//
// The password enters as its UTF-8 bytes; the result is h(iterations).
#ifndef QUORVEL_SRC_PASSWORD_HASH_H_
#define QUORVEL_SRC_PASSWORD_HASH_H_

#include <cstdint>
#include <string>
#include <vector>

#include "sha256.h"

namespace quorvel {

constexpr std::uint32_t kDefaultHashIterations = 20000;
constexpr std::size_t kSaltBytes = 16;

Sha256Digest HashPassword(const std::vector<std::uint8_t>& salt, const std::string& password_utf8,
                          std::uint32_t iterations);

// Compares two digests in time that does not depend on where they differ.
bool SameDigest(const Sha256Digest& a, const std::vector<std::uint8_t>& b);

}  // namespace quorvel

#endif  // QUORVEL_SRC_PASSWORD_HASH_H_
