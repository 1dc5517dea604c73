#include "service/store/content_keys.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "service/fd_write.h"
#include "service/errors.h"
#include "service/log.h"

namespace {

constexpr char kWrappedMagic[8] = {'B', 'R', 'V', 'A', 'K', 'E', 'Y', '1'};
constexpr std::size_t kNonceBytes = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr std::size_t kWrappedBytes = sizeof(kWrappedMagic) + kNonceBytes +
                                      ContentKeys::kKeyBytes +
                                      crypto_aead_xchacha20poly1305_ietf_ABYTES;

// Binds a wrapped key to its account: a file copied to another account's
// name fails authentication.
std::string wrap_context(std::int64_t user_id) {
  return "brevanto account content key v1 u" + std::to_string(user_id);
}

std::string key_name(std::int64_t user_id) { return "u" + std::to_string(user_id) + ".key"; }

std::string random_suffix() {
  unsigned char bytes[8];
  randombytes_buf(bytes, sizeof(bytes));
  char hex[sizeof(bytes) * 2 + 1];
  sodium_bin2hex(hex, sizeof(hex), bytes, sizeof(bytes));
  return hex;
}

// Exactly `size` bytes from the start of `fd`, which must hold no more.
bool read_whole(int fd, unsigned char* data, std::size_t size) {
  std::size_t done = 0;
  for (;;) {
    unsigned char extra;
    const bool at_end = done == size;
    const ssize_t n = at_end ? ::pread(fd, &extra, 1, static_cast<off_t>(done))
                             : ::pread(fd, data + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      if (at_end) return true;
      errno = EBADMSG;  // short
      return false;
    }
    if (at_end) {
      errno = EBADMSG;  // long
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
}

// Writes `size` bytes as `name` in `dir_fd` all at once: into a new file
// first, synced, then linked under the name, which fails with EEXIST
// rather than replace a file already there. 0 (also for EEXIST) or errno.
int create_once(int dir_fd, const std::string& name, const unsigned char* data, std::size_t size) {
  const std::string temp = name + ".tmp-" + random_suffix();
  UniqueFd fd(::openat(dir_fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       0600));
  if (!fd.valid()) return errno;
  int err = 0;
  if (!write_all(fd.get(), data, size) || ::fsync(fd.get()) != 0) err = errno;
  if (err == 0 && ::linkat(dir_fd, temp.c_str(), dir_fd, name.c_str(), 0) != 0 && errno != EEXIST) {
    err = errno;
  }
  ::unlinkat(dir_fd, temp.c_str(), 0);
  if (err == 0 && ::fsync(dir_fd) != 0) err = errno;
  return err;
}

UniqueFd open_folder(const std::string& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

std::string parent_of(const std::string& path) {
  const std::string parent = std::filesystem::path(path).parent_path().string();
  return parent.empty() ? "." : parent;
}

}  // namespace

ContentKeys::ContentKeys(const std::string& key_file, bool read_only,
                         std::unique_ptr<SharedKeyShelf> shelf)
    : folder_path_(key_file + ".accounts"), read_only_(read_only), shelf_(std::move(shelf)) {
  const UniqueFd parent = open_folder(parent_of(key_file));
  if (!parent.valid()) throw_errno(kInternal, errno, "open the folder of " + key_file);
  const std::string base = std::filesystem::path(key_file).filename().string();
  UniqueFd fd(::openat(parent.get(), base.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid() && errno == ENOENT && !read_only) {
    Key fresh;
    randombytes_buf(fresh.data(), fresh.size());
    const int err = create_once(parent.get(), base, fresh.data(), fresh.size());
    sodium_memzero(fresh.data(), fresh.size());
    if (err != 0) throw_errno(kInternal, err, "make the content key " + key_file);
    fd = UniqueFd(::openat(parent.get(), base.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  }
  if (!fd.valid()) throw_errno(kInternal, errno, "open the content key " + key_file);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw_errno(kInternal, errno, "stat " + key_file);
  if (!S_ISREG(st.st_mode) || st.st_size != static_cast<off_t>(kKeyBytes)) {
    throw ServiceError(kInternal, "the content key " + key_file + " is not a file of 32 bytes");
  }
  if ((st.st_mode & 077) != 0) {
    throw ServiceError(kInternal, "the content key " + key_file +
                                      " may be read or written by others: make it mode 0600");
  }
  if (!read_whole(fd.get(), service_key_.data(), service_key_.size())) {
    throw_errno(kInternal, errno, "read the content key " + key_file);
  }
  folder_ = open_folder(folder_path_);
  if (!folder_.valid() && errno == ENOENT && !read_only) {
    if (::mkdirat(parent.get(), (base + ".accounts").c_str(), 0700) != 0 && errno != EEXIST) {
      throw_errno(kInternal, errno, "make " + folder_path_);
    }
    ::fsync(parent.get());
    folder_ = open_folder(folder_path_);
  }
  if (!folder_.valid() && !(errno == ENOENT && read_only)) {
    throw_errno(kInternal, errno, "open " + folder_path_);
  }
}

ContentKeys::~ContentKeys() {
  sodium_memzero(service_key_.data(), service_key_.size());
  for (auto& entry : cache_) sodium_memzero(entry.second.data(), entry.second.size());
}

bool ContentKeys::account_key(std::int64_t user_id, bool create, Key* key) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto cached = cache_.find(user_id);
  if (cached != cache_.end()) {
    *key = cached->second;
    return true;
  }
  if (shelf_) {
    if (!shelf_key(user_id, create, key)) return false;
    cache_[user_id] = *key;
    return true;
  }
  if (!folder_.valid()) {
    errno = ENOENT;
    return false;
  }
  if (!read_wrapped(user_id, key)) {
    if (errno != ENOENT || !create || read_only_) return false;
    if (!make_wrapped(user_id) || !read_wrapped(user_id, key)) return false;
  }
  cache_[user_id] = *key;
  return true;
}

bool ContentKeys::read_local(std::int64_t user_id, std::string* wrapped) {
  if (!folder_.valid()) {
    errno = ENOENT;
    return false;
  }
  const UniqueFd fd(
      ::openat(folder_.get(), key_name(user_id).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return false;
  wrapped->assign(kWrappedBytes, '\0');
  return read_whole(fd.get(), reinterpret_cast<unsigned char*>(&(*wrapped)[0]), kWrappedBytes);
}

bool ContentKeys::unwrap(std::int64_t user_id, const std::string& wrapped, Key* key) const {
  if (wrapped.size() != kWrappedBytes ||
      std::memcmp(wrapped.data(), kWrappedMagic, sizeof(kWrappedMagic)) != 0) {
    errno = EBADMSG;
    return false;
  }
  const auto* nonce = reinterpret_cast<const unsigned char*>(wrapped.data()) + sizeof(kWrappedMagic);
  const std::string context = wrap_context(user_id);
  unsigned long long opened = 0;
  if (crypto_aead_xchacha20poly1305_ietf_decrypt(
          key->data(), &opened, nullptr, nonce + kNonceBytes,
          kWrappedBytes - sizeof(kWrappedMagic) - kNonceBytes,
          reinterpret_cast<const unsigned char*>(context.data()), context.size(), nonce,
          service_key_.data()) != 0 ||
      opened != kKeyBytes) {
    sodium_memzero(key->data(), key->size());
    errno = EBADMSG;
    return false;
  }
  return true;
}

bool ContentKeys::read_wrapped(std::int64_t user_id, Key* key) {
  std::string wrapped;
  return read_local(user_id, &wrapped) && unwrap(user_id, wrapped, key);
}

std::string ContentKeys::wrap_fresh(std::int64_t user_id) const {
  Key fresh;
  crypto_secretstream_xchacha20poly1305_keygen(fresh.data());
  std::string wrapped(kWrappedBytes, '\0');
  auto* out = reinterpret_cast<unsigned char*>(&wrapped[0]);
  std::memcpy(out, kWrappedMagic, sizeof(kWrappedMagic));
  unsigned char* nonce = out + sizeof(kWrappedMagic);
  randombytes_buf(nonce, kNonceBytes);
  const std::string context = wrap_context(user_id);
  crypto_aead_xchacha20poly1305_ietf_encrypt(
      nonce + kNonceBytes, nullptr, fresh.data(), fresh.size(),
      reinterpret_cast<const unsigned char*>(context.data()), context.size(), nullptr, nonce,
      service_key_.data());
  sodium_memzero(fresh.data(), fresh.size());
  return wrapped;
}

bool ContentKeys::make_wrapped(std::int64_t user_id) {
  const std::string wrapped = wrap_fresh(user_id);
  // Another thread or service may have made one first: then its key is
  // the account's, and this one is never used.
  const int err = create_once(folder_.get(), key_name(user_id),
                              reinterpret_cast<const unsigned char*>(wrapped.data()),
                              wrapped.size());
  if (err != 0) errno = err;
  return err == 0;
}

bool ContentKeys::shelf_key(std::int64_t user_id, bool create, Key* key) {
  try {
    std::string wrapped;
    if (shelf_->read(user_id, &wrapped)) return unwrap(user_id, wrapped, key);
    // Not on the shelf: the local folder's key of a store that was not
    // shared before, else a new one when asked for.
    if (!read_local(user_id, &wrapped)) {
      if (errno != ENOENT) return false;
      if (!create || read_only_) {
        errno = ENOENT;
        return false;
      }
      wrapped = wrap_fresh(user_id);
    } else if (read_only_) {
      return unwrap(user_id, wrapped, key);
    }
    // The first one stored wins; every service reads back the same.
    shelf_->add_if_missing(user_id, wrapped);
    if (!shelf_->read(user_id, &wrapped)) {
      errno = EIO;
      return false;
    }
    return unwrap(user_id, wrapped, key);
  } catch (const ServiceError& e) {
    log_error("the account keys in the catalog database: %s", e.what());
    errno = EIO;
    return false;
  }
}
