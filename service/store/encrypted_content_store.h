// Contents encrypted at rest, for a store whose objects whoever runs it can
// read (an object store shared by services on many hosts). Wraps any other
// ContentStore: each content is stored encrypted with its account's key
// (content_keys.h) as an XChaCha20-Poly1305 secretstream, under the same
// name, the SHA-256 of its plaintext, so that a content an account holds
// twice is still stored once.
//
// A stored object: "BRVENC1\0", the stream's 24-byte header, then the
// plaintext in chunks of 64 KiB (the last one shorter, maybe empty), each
// with its 17 bytes of tag and MAC; the last chunk carries the final tag,
// so a cut object fails as a damaged one does. Every chunk is
// authenticated together with "u<user id>/<SHA-256>", so an object moved
// to another name or account is refused too.
//
// Plaintext exists only in unlinked files of the service's own (O_TMPFILE
// in the spool folder, or memory where that cannot be made): the one a
// writer fills, and the one open() returns.
#ifndef BREVANTO_SERVICE_STORE_ENCRYPTED_CONTENT_STORE_H_
#define BREVANTO_SERVICE_STORE_ENCRYPTED_CONTENT_STORE_H_

#include <memory>
#include <string>

#include "service/store/content_keys.h"
#include "service/store/content_store.h"

class EncryptedContentStore : public ContentStore {
 public:
  // `inner` holds the encrypted objects and must outlive this store.
  // `key_file`: the service's key (see ContentKeys, which makes it when
  // missing unless `read_only`). `spool_fd`: a local folder of the service
  // for the unlinked plaintext files (-1: memory). `shelf`: where the
  // account keys are shared with other services (null: beside the key
  // file only). Throws ServiceError.
  EncryptedContentStore(ContentStore& inner, const std::string& key_file, int spool_fd,
                        bool read_only = false, std::unique_ptr<SharedKeyShelf> shelf = nullptr);

  // begin() makes the account's key on its first content. Throws
  // ServiceError.
  std::unique_ptr<ContentWriter> begin(std::int64_t user_id) override;
  // The decrypted content, read from its start. Invalid with errno EBADMSG
  // when the object fails authentication (damaged, cut, moved, or
  // encrypted with another key): such bytes are never served.
  UniqueFd open(std::int64_t user_id, const std::string& sha256) override;
  std::int64_t free_bytes() override { return inner_.free_bytes(); }
  // Each sealed, then placed together by the inner store.
  std::size_t place_all(const std::vector<Placement>& batch, int* err) override;
  int remove(std::int64_t user_id, const std::string& sha256) override {
    return inner_.remove(user_id, sha256);
  }
  void sweep(const std::function<void(std::int64_t, const std::string&)>& visit) override {
    inner_.sweep(visit);
  }

  // Encrypts all of `plain_fd` as `sha256` of the account into `sealed_fd`
  // (at its start). 0 or an errno value.
  int seal(std::int64_t user_id, const std::string& sha256, int plain_fd, int sealed_fd);
  // A new unlinked plaintext file; invalid (errno set) when none can be made.
  UniqueFd spool_file() const;

 private:
  ContentStore& inner_;
  ContentKeys keys_;
  int spool_fd_;
};

#endif  // BREVANTO_SERVICE_STORE_ENCRYPTED_CONTENT_STORE_H_
