#include "service/accounts.h"

#include <sodium.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "service/catalog.h"
#include "service/errors.h"
#include "service/storage_paths.h"

namespace {

// Each hash takes 64 MiB; this many at a time bound the memory that a burst
// of logins can claim.
constexpr int kConcurrentHashes = 2;

// Holds one of the kConcurrentHashes slots while alive. Waiters are served
// first come, first served within their class, and a waiter of a name
// without recent failures ("clean") goes before every suspect one, so that
// a flood of guesses queues behind real logins instead of ahead of them.
class HashSlot {
 public:
  explicit HashSlot(bool suspect) {
    std::unique_lock<std::mutex> lock(mu_);
    Queue& queue = suspect ? suspect_ : clean_;
    const std::uint64_t ticket = queue.next++;
    freed_.wait(lock, [&] {
      return in_use_ < kConcurrentHashes && queue.served == ticket &&
             (!suspect || clean_.served == clean_.next);
    });
    ++queue.served;
    ++in_use_;
    freed_.notify_all();  // the next ticket may go too
  }
  ~HashSlot() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      --in_use_;
    }
    freed_.notify_all();
  }

 private:
  struct Queue {
    std::uint64_t next = 0;    // ticket of the next waiter to arrive
    std::uint64_t served = 0;  // ticket of the next waiter to go
  };
  static std::mutex mu_;
  static std::condition_variable freed_;
  static int in_use_;
  static Queue clean_;
  static Queue suspect_;
};

std::mutex HashSlot::mu_;
std::condition_variable HashSlot::freed_;
int HashSlot::in_use_ = 0;
HashSlot::Queue HashSlot::clean_;
HashSlot::Queue HashSlot::suspect_;

std::string hash_password(const std::string& password) {
  char hash[crypto_pwhash_STRBYTES];
  const HashSlot slot(false);
  if (crypto_pwhash_str(hash, password.data(), password.size(),
                        crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
    throw ServiceError(kInternal, "crypto_pwhash_str failed (out of memory?)");
  }
  return hash;
}

// A hash to verify against when the user is unknown, so that timing does
// not tell which names exist.
const std::string& dummy_hash() {
  static std::once_flag once;
  static std::string hash;
  std::call_once(once, [] { hash = hash_password("no such user"); });
  return hash;
}

}  // namespace

bool valid_user_name(const std::string& name) {
  if (name.empty() || name.size() > 64 || !valid_utf8(name)) return false;
  for (const char c : name) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7f || c == '"') return false;
  }
  return true;
}

bool add_user(Catalog& catalog, const std::string& name, const std::string& password) {
  return catalog.add_user(name, hash_password(password));
}

std::optional<std::int64_t> check_login(Catalog& catalog, const std::string& name,
                                        const std::string& password, bool suspect) {
  const std::optional<UserRow> user = catalog.find_user(name);
  const std::string& hash = user ? user->pwhash : dummy_hash();
  bool match;
  {
    // An unknown name is a guess: it waits behind the checks of real ones.
    const HashSlot slot(suspect || !user);
    match = crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
  }
  if (!user || !match) return std::nullopt;
  return user->id;
}
