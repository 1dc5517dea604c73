// SHA-256 of a local file (libsodium).
#ifndef BREVANTO_CLI_FILE_HASH_H_
#define BREVANTO_CLI_FILE_HASH_H_

#include <cstdint>
#include <string>

struct FileHash {
  std::string sha256_hex;  // 64 lower-case hex digits
  std::uint64_t size = 0;  // bytes read
};

// False with `error` set when the file cannot be read.
bool hash_file(const std::string& path, FileHash& hash, std::string& error);

#endif  // BREVANTO_CLI_FILE_HASH_H_
