// The keys that encrypt contents at rest: one per account, made at its
// first use, kept wrapped (encrypted and authenticated) by the service's
// key. The service's key is a file of 32 random bytes, mode 0600, that
// lives outside the content store; the wrapped account keys lie beside it,
// in the folder <key file>.accounts, one file per account (u<user id>.key,
// 80 bytes), or, when services on several hosts share the contents, on a
// shelf they all see (shared_key_shelf.h: the shared catalog). Losing
// either loses every content they encrypt: back them up with the catalog,
// apart from the contents.
#ifndef BREVANTO_SERVICE_STORE_CONTENT_KEYS_H_
#define BREVANTO_SERVICE_STORE_CONTENT_KEYS_H_

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "service/store/shared_key_shelf.h"
#include "service/unique_fd.h"

class ContentKeys {
 public:
  static constexpr std::size_t kKeyBytes = 32;
  using Key = std::array<unsigned char, kKeyBytes>;

  // Reads the service's key from `key_file`, first making it (and the
  // folder of account keys) when missing, unless `read_only`. A key file
  // that is not a regular file of 32 bytes, or that its group or others
  // may read or write, is refused. Throws ServiceError(kInternal).
  // With a `shelf`, the account keys are kept there: one an account has
  // only in the local folder (a store that was not shared before) is put
  // on the shelf at its first use, unless `read_only`.
  ContentKeys(const std::string& key_file, bool read_only,
              std::unique_ptr<SharedKeyShelf> shelf = nullptr);
  ~ContentKeys();  // wipes the keys it holds
  ContentKeys(const ContentKeys&) = delete;
  ContentKeys& operator=(const ContentKeys&) = delete;

  // The account's key into `*key`; made and stored wrapped first when the
  // account has none and `create`. False with errno set otherwise: ENOENT
  // (no key yet), EBADMSG (a wrapped key that fails authentication: made
  // by another service key, damaged, or another account's), or the errno
  // of a failed file or shelf operation (EIO when the shelf cannot be
  // reached; the log says why). Safe from several threads; two services
  // sharing the folder or the shelf never make two keys for one account.
  bool account_key(std::int64_t user_id, bool create, Key* key);

 private:
  bool read_wrapped(std::int64_t user_id, Key* key);
  bool make_wrapped(std::int64_t user_id);
  bool shelf_key(std::int64_t user_id, bool create, Key* key);
  // The local folder's wrapped key of the account, as stored; false with
  // errno set (ENOENT: none).
  bool read_local(std::int64_t user_id, std::string* wrapped);
  std::string wrap_fresh(std::int64_t user_id) const;
  bool unwrap(std::int64_t user_id, const std::string& wrapped, Key* key) const;

  std::string folder_path_;
  bool read_only_;
  Key service_key_{};
  UniqueFd folder_;  // <key file>.accounts; invalid while it does not exist
  std::mutex mu_;
  std::map<std::int64_t, Key> cache_;
  std::unique_ptr<SharedKeyShelf> shelf_;
};

#endif  // BREVANTO_SERVICE_STORE_CONTENT_KEYS_H_
