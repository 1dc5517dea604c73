// SHA-256 with OpenSSL's libcrypto, which uses the CPU's SHA instructions
// where there are some (several times faster than a portable one). Shared by
// the service and the command line, which compile it into their programs;
// the library itself needs no libcrypto.
#ifndef BREVANTO_UTIL_SHA256_H_
#define BREVANTO_UTIL_SHA256_H_

#include <cstddef>
#include <string>

typedef struct evp_md_ctx_st EVP_MD_CTX;

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(const void* data, std::size_t size);
  // The digest as 64 lower-case hex digits; the object is spent.
  std::string hex();

 private:
  EVP_MD_CTX* ctx_;
};

#endif  // BREVANTO_UTIL_SHA256_H_
