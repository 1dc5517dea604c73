// Unpredictable bytes from std::random_device, for salts and temporary names.
#ifndef QUORVEL_SRC_RANDOM_BYTES_H_
#define QUORVEL_SRC_RANDOM_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvel {

std::vector<std::uint8_t> RandomBytes(std::size_t count);

// Lower-case hexadecimal digits of `bytes`, two per byte.
std::string ToHex(const std::uint8_t* bytes, std::size_t count);
std::string ToHex(const std::vector<std::uint8_t>& bytes);

// The bytes of an even-length hexadecimal text; false when it is not one.
bool FromHex(const std::string& text, std::vector<std::uint8_t>* bytes);

}  // namespace quorvel

#endif  // QUORVEL_SRC_RANDOM_BYTES_H_
