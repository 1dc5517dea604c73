// SHA-256 of local files (OpenSSL's libcrypto).
#ifndef BREVANTO_CLI_FILE_HASH_H_
#define BREVANTO_CLI_FILE_HASH_H_

#include <cstdint>
#include <memory>
#include <string>

#include "cli/manifest/digest.h"

struct FileHash {
  Digest sha256;
  std::uint64_t size = 0;  // bytes read
};

// Hashes one file after another through one read buffer, allocated once.
// One hasher per thread.
class FileHasher {
 public:
  FileHasher();
  ~FileHasher();
  FileHasher(const FileHasher&) = delete;
  FileHasher& operator=(const FileHasher&) = delete;

  // False with `error` set when the file cannot be read.
  bool hash(const std::string& path, FileHash& hash, std::string& error);

 private:
  std::unique_ptr<unsigned char[]> buffer_;  // not zero-filled: read() fills it
};

// The calling thread's hasher.
bool hash_file(const std::string& path, FileHash& hash, std::string& error);

#endif  // BREVANTO_CLI_FILE_HASH_H_
