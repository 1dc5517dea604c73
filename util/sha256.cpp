#include "util/sha256.h"

#include <openssl/evp.h>

#include <new>

namespace {

// Fetched once: EVP_sha256() makes libcrypto look the algorithm up again, under
// a lock, at every digest it starts, which for a small file costs more than
// hashing it.
const EVP_MD* sha256_method() {
  static EVP_MD* const method = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return method;
}

}  // namespace

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  const EVP_MD* method = sha256_method();
  if (ctx_ == nullptr || method == nullptr || EVP_DigestInit_ex(ctx_, method, nullptr) != 1) {
    EVP_MD_CTX_free(ctx_);
    throw std::bad_alloc();
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(ctx_); }

void Sha256::update(const void* data, std::size_t size) { EVP_DigestUpdate(ctx_, data, size); }

std::string Sha256::hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_DigestFinal_ex(ctx_, digest, &size);
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (unsigned int i = 0; i < size; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}
