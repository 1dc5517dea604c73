#include "service/store/encrypted_content_store.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "service/fd_write.h"
#include "service/errors.h"

namespace {

constexpr char kMagic[8] = {'B', 'R', 'V', 'E', 'N', 'C', '1', '\0'};
constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kStreamHeader = crypto_secretstream_xchacha20poly1305_HEADERBYTES;
constexpr std::size_t kChunkOverhead = crypto_secretstream_xchacha20poly1305_ABYTES;

using StreamState = crypto_secretstream_xchacha20poly1305_state;

// What every chunk of a content is authenticated with: its account and name.
std::string stream_context(std::int64_t user_id, const std::string& sha256) {
  return "u" + std::to_string(user_id) + "/" + sha256;
}

// Up to `size` bytes, fewer only at the end of `fd`; -1 (errno set) on failure.
ssize_t read_full(int fd, unsigned char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

// Decrypts the object `sealed_fd` (from its current offset) into
// `plain_fd`. 0, EBADMSG for an object that fails authentication, or the
// errno of a failed read or write.
int unseal(const ContentKeys::Key& key, const std::string& context, int sealed_fd, int plain_fd) {
  unsigned char head[sizeof(kMagic) + kStreamHeader];
  const ssize_t got = read_full(sealed_fd, head, sizeof(head));
  if (got < 0) return errno;
  StreamState state;
  if (got != static_cast<ssize_t>(sizeof(head)) || std::memcmp(head, kMagic, sizeof(kMagic)) != 0 ||
      crypto_secretstream_xchacha20poly1305_init_pull(&state, head + sizeof(kMagic), key.data()) !=
          0) {
    return EBADMSG;
  }
  const auto* ad = reinterpret_cast<const unsigned char*>(context.data());
  std::vector<unsigned char> sealed(kChunk + kChunkOverhead);
  std::vector<unsigned char> plain(kChunk);
  int result = 0;
  for (;;) {
    const ssize_t n = read_full(sealed_fd, sealed.data(), sealed.size());
    if (n < 0) {
      result = errno;
      break;
    }
    unsigned long long size = 0;
    unsigned char tag = 0;
    // A missing final chunk (a cut object) fails here as a forged one does.
    if (n < static_cast<ssize_t>(kChunkOverhead) ||
        crypto_secretstream_xchacha20poly1305_pull(&state, plain.data(), &size, &tag,
                                                   sealed.data(), static_cast<std::size_t>(n),
                                                   ad, context.size()) != 0) {
      result = EBADMSG;
      break;
    }
    if (!write_all(plain_fd, plain.data(), static_cast<std::size_t>(size))) {
      result = errno;
      break;
    }
    if (tag == crypto_secretstream_xchacha20poly1305_TAG_FINAL) {
      unsigned char extra;
      const ssize_t more = read_full(sealed_fd, &extra, 1);
      result = more < 0 ? errno : more == 0 ? 0 : EBADMSG;  // nothing may follow it
      break;
    }
    if (n < static_cast<ssize_t>(sealed.size())) {  // only the last chunk is short
      result = EBADMSG;
      break;
    }
  }
  sodium_memzero(plain.data(), plain.size());
  sodium_memzero(&state, sizeof(state));
  return result;
}

class EncryptedContentWriter : public ContentWriter {
 public:
  EncryptedContentWriter(EncryptedContentStore& store, std::int64_t user_id, UniqueFd plain,
                         std::unique_ptr<ContentWriter> inner)
      : store_(store), user_id_(user_id), plain_(std::move(plain)), inner_(std::move(inner)) {}

  int fd() const override { return plain_.get(); }

  int place(const std::string& sha256) override {
    if (const int err = seal(sha256)) return err;
    return inner_->place(sha256);
  }

  // The sealed bytes, written to the inner store's writer.
  int seal(const std::string& sha256) {
    return store_.seal(user_id_, sha256, plain_.get(), inner_->fd());
  }
  ContentWriter* inner() const { return inner_.get(); }

 private:
  EncryptedContentStore& store_;
  std::int64_t user_id_;
  UniqueFd plain_;
  std::unique_ptr<ContentWriter> inner_;
};

}  // namespace

std::size_t EncryptedContentStore::place_all(const std::vector<Placement>& batch, int* err) {
  std::vector<Placement> sealed;
  for (const Placement& p : batch) {
    auto* writer = static_cast<EncryptedContentWriter*>(p.writer);
    if ((*err = writer->seal(p.sha256)) != 0) return 0;
    sealed.push_back(Placement{writer->inner(), p.sha256});
  }
  return inner_.place_all(sealed, err);
}

EncryptedContentStore::EncryptedContentStore(ContentStore& inner, const std::string& key_file,
                                             int spool_fd, bool read_only,
                                             std::unique_ptr<SharedKeyShelf> shelf)
    : inner_(inner), keys_(key_file, read_only, std::move(shelf)), spool_fd_(spool_fd) {}

UniqueFd EncryptedContentStore::spool_file() const {
  if (spool_fd_ >= 0) {
    UniqueFd fd(::openat(spool_fd_, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (fd.valid()) return fd;
  }
  // A file system without O_TMPFILE, or a folder that cannot be written (a
  // read-only root): the plaintext is held in memory.
  return UniqueFd(::memfd_create("brevanto-content", MFD_CLOEXEC));
}

std::unique_ptr<ContentWriter> EncryptedContentStore::begin(std::int64_t user_id) {
  std::unique_ptr<ContentWriter> inner = inner_.begin(user_id);
  UniqueFd plain = spool_file();
  if (!plain.valid()) {
    throw_errno(storage_error_code(errno, kInternal), errno, "create a plaintext spool file");
  }
  return std::make_unique<EncryptedContentWriter>(*this, user_id, std::move(plain),
                                                  std::move(inner));
}

int EncryptedContentStore::seal(std::int64_t user_id, const std::string& sha256, int plain_fd,
                                int sealed_fd) {
  ContentKeys::Key key;
  if (!keys_.account_key(user_id, true, &key)) return errno != 0 ? errno : EIO;
  struct stat st;
  if (::fstat(plain_fd, &st) != 0 || ::lseek(plain_fd, 0, SEEK_SET) != 0) return errno;
  unsigned char head[sizeof(kMagic) + kStreamHeader];
  std::memcpy(head, kMagic, sizeof(kMagic));
  StreamState state;
  crypto_secretstream_xchacha20poly1305_init_push(&state, head + sizeof(kMagic), key.data());
  sodium_memzero(key.data(), key.size());
  if (!write_all(sealed_fd, head, sizeof(head))) return errno;

  const std::string context = stream_context(user_id, sha256);
  const auto* ad = reinterpret_cast<const unsigned char*>(context.data());
  std::vector<unsigned char> plain(kChunk);
  std::vector<unsigned char> sealed(kChunk + kChunkOverhead);
  std::uint64_t left = static_cast<std::uint64_t>(st.st_size);
  int result = 0;
  do {  // an empty content is one empty final chunk
    const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk));
    const ssize_t n = read_full(plain_fd, plain.data(), size);
    if (n != static_cast<ssize_t>(size)) {
      result = n < 0 ? errno : EIO;  // the file shrank under us
      break;
    }
    left -= size;
    const unsigned char tag = left == 0 ? crypto_secretstream_xchacha20poly1305_TAG_FINAL
                                        : crypto_secretstream_xchacha20poly1305_TAG_MESSAGE;
    unsigned long long sealed_size = 0;
    crypto_secretstream_xchacha20poly1305_push(&state, sealed.data(), &sealed_size, plain.data(),
                                               size, ad, context.size(), tag);
    if (!write_all(sealed_fd, sealed.data(), static_cast<std::size_t>(sealed_size))) {
      result = errno;
      break;
    }
  } while (left > 0);
  sodium_memzero(plain.data(), plain.size());
  sodium_memzero(&state, sizeof(state));
  return result;
}

UniqueFd EncryptedContentStore::open(std::int64_t user_id, const std::string& sha256) {
  const UniqueFd sealed = inner_.open(user_id, sha256);
  if (!sealed.valid()) return UniqueFd();
  ContentKeys::Key key;
  if (!keys_.account_key(user_id, false, &key)) {
    // An object of an account without a key was not written by this store.
    if (errno == ENOENT) errno = EBADMSG;
    return UniqueFd();
  }
  UniqueFd plain = spool_file();
  const int err = plain.valid() ? unseal(key, stream_context(user_id, sha256), sealed.get(),
                                         plain.get())
                                : errno;
  sodium_memzero(key.data(), key.size());
  if (err == 0 && ::lseek(plain.get(), 0, SEEK_SET) == 0) return plain;
  errno = err != 0 ? err : errno;
  return UniqueFd();
}
