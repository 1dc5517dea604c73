#include "cli/file_hash.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr std::size_t kBufferSize = 1 << 20;

}  // namespace

struct FileHasher::Context {
  EVP_MD_CTX* digest = EVP_MD_CTX_new();
  ~Context() { EVP_MD_CTX_free(digest); }
};

FileHasher::FileHasher()
    : context_(std::make_unique<Context>()), buffer_(new unsigned char[kBufferSize]) {}

FileHasher::~FileHasher() = default;

bool FileHasher::hash(const std::string& path, FileHash& hash, std::string& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  EVP_MD_CTX* digest = context_->digest;
  bool ok = digest != nullptr && EVP_DigestInit_ex(digest, EVP_sha256(), nullptr) == 1;
  hash.size = 0;
  while (ok) {
    const ssize_t got = read(fd, buffer_.get(), kBufferSize);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = std::strerror(errno);
      close(fd);
      return false;
    }
    if (got == 0) break;
    ok = EVP_DigestUpdate(digest, buffer_.get(), static_cast<std::size_t>(got)) == 1;
    hash.size += static_cast<std::uint64_t>(got);
  }
  close(fd);
  unsigned char value[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!ok || EVP_DigestFinal_ex(digest, value, &length) != 1) {
    error = "SHA-256 failed";
    return false;
  }
  static const char kHex[] = "0123456789abcdef";
  hash.sha256_hex.resize(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hash.sha256_hex[2 * i] = kHex[value[i] >> 4];
    hash.sha256_hex[2 * i + 1] = kHex[value[i] & 0xF];
  }
  return true;
}

bool hash_file(const std::string& path, FileHash& hash, std::string& error) {
  thread_local FileHasher hasher;
  return hasher.hash(path, hash, error);
}
