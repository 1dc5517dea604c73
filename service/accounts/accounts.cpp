#include "service/accounts/accounts.h"

#include <sodium.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

#include "service/accounts/account_uids.h"
#include "service/store/catalog.h"
#include "service/errors.h"
#include "service/store/storage_paths.h"

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

// Passwords that passed the slow check lately, so that a client logging in
// again (a backup opens several sessions at once) is let in after a keyed
// BLAKE2b digest instead of another 64 MiB hash. Only a password that
// matched is ever remembered, so a guess still pays the full check. The key
// is random per process: the digests are worth nothing outside it. Entries
// are found by the stored hash (salted, so one per user and password), end
// after kRememberFor, and all go when kMaxEntries would be passed.
class RecentLogins {
 public:
  bool known(const std::string& pwhash, const std::string& password) {
    const Digest digest = digest_of(password);
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = entries_.find(pwhash);
    if (it == entries_.end()) return false;
    if (Clock::now() - it->second.at > kRememberFor) {
      entries_.erase(it);
      return false;
    }
    return sodium_memcmp(it->second.digest.data(), digest.data(), digest.size()) == 0;
  }

  void remember(const std::string& pwhash, const std::string& password) {
    const Digest digest = digest_of(password);
    std::lock_guard<std::mutex> lock(mu_);
    if (entries_.size() >= kMaxEntries) entries_.clear();
    entries_[pwhash] = Entry{digest, Clock::now()};
  }

 private:
  using Clock = std::chrono::steady_clock;
  using Digest = std::array<unsigned char, crypto_generichash_BYTES>;
  static constexpr std::chrono::minutes kRememberFor{10};
  static constexpr std::size_t kMaxEntries = 1024;
  struct Entry {
    Digest digest;
    Clock::time_point at;
  };

  Digest digest_of(const std::string& password) {
    std::call_once(keyed_, [this] { crypto_generichash_keygen(key_.data()); });
    Digest digest;
    crypto_generichash(digest.data(), digest.size(),
                       reinterpret_cast<const unsigned char*>(password.data()), password.size(),
                       key_.data(), key_.size());
    return digest;
  }

  std::once_flag keyed_;
  std::array<unsigned char, crypto_generichash_KEYBYTES> key_;
  std::mutex mu_;
  std::map<std::string, Entry> entries_;
};

RecentLogins& recent_logins() {
  static RecentLogins logins;
  return logins;
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

bool add_user(Catalog& catalog, const std::string& name, const std::string& password,
              const std::vector<std::uint32_t>& uids) {
  return catalog.add_user(name, hash_password(password), uids);
}

namespace {

// The check of `user` (null: an unknown name).
LoginCheck check_password(const std::optional<UserRow>& user, const std::string& password,
                          bool suspect) {
  const std::string& hash = user ? user->pwhash : dummy_hash();
  if (user && recent_logins().known(hash, password)) return LoginCheck{user->id, "", ""};
  bool match;
  {
    // An unknown name is a guess: it waits behind the checks of real ones.
    const HashSlot slot(suspect || !user);
    match = crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
  }
  if (!user) return LoginCheck{std::nullopt, "no such account", ""};
  if (!match) return LoginCheck{std::nullopt, "the password does not match", ""};
  recent_logins().remember(hash, password);
  return LoginCheck{user->id, "", ""};
}

}  // namespace

std::optional<std::int64_t> check_login(Catalog& catalog, const std::string& name,
                                        const std::string& password, bool suspect) {
  return check_password(catalog.find_user(name), password, suspect).user_id;
}

LoginCheck check_login_as(Catalog& catalog, AccountUids& uids, long uid, const std::string& name,
                          const std::string& password, bool suspect) {
  const std::optional<UserRow> user = catalog.find_user(name);
  if (user) {
    const std::string refusal = uids.refusal(user->id, uid);
    if (!refusal.empty()) {
      // The password first: only who knows it learns that the uid is the
      // reason, and what to do about it.
      const LoginCheck check = check_password(user, password, true);
      if (!check.user_id) return LoginCheck{std::nullopt, refusal + "; " + check.refused, ""};
      return LoginCheck{std::nullopt, refusal + "; the password matches, the client was told",
                        uids.advice(name, uid)};
    }
  }
  return check_password(user, password, suspect);
}
