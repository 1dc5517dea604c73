#include "cli/file_hash.h"

#include <sodium.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

bool hash_file(const std::string& path, FileHash& hash, std::string& error) {
  static const bool ready = sodium_init() >= 0;
  if (!ready) {
    error = "libsodium failed to initialise";
    return false;
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                       std::fclose);
  if (!file) {
    error = std::strerror(errno);
    return false;
  }
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  std::vector<unsigned char> buffer(1 << 20);
  hash.size = 0;
  for (;;) {
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file.get());
    if (got > 0) {
      crypto_hash_sha256_update(&state, buffer.data(), got);
      hash.size += got;
    }
    if (got < buffer.size()) break;
  }
  if (std::ferror(file.get())) {
    error = std::strerror(errno);
    return false;
  }
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256_final(&state, digest);
  char hex[crypto_hash_sha256_BYTES * 2 + 1];
  sodium_bin2hex(hex, sizeof(hex), digest, sizeof(digest));
  hash.sha256_hex = hex;
  return true;
}
