// Slows password guessing down by who guesses: the Linux user (uid) that
// owns the connecting socket. Guesses cost only the guesser, so that no
// uid can lock another uid out of an account, however many names it tries.
// Every name is tracked, whether it exists or not, so the answers tell
// nothing about which names exist.
//
// - Per uid and name: checks run one at a time; a login waits while
//   another check of the same name from the same uid runs, or, when that
//   pair failed before, is refused at once. So parallel connections of one
//   uid guess no faster than one. After kFreeFailures failed logins in a
//   row, the pair may be tried again only after a delay that doubles with
//   every further failure (4 s, 8 s, 16 s, ...; never longer than the
//   lock-out), and after kLockFailures it is locked for the whole
//   lock-out. A success clears the pair.
// - Per uid, whatever the names: the same after kUidFreeFailures and
//   kUidLockFailures failures, so that a uid trying many names is slowed
//   down too. A success does not clear this count; a uid quiet for a whole
//   lock-out starts afresh.
// - A login tried too early is refused without checking the password. The
//   tables are bounded: the oldest quiet records are forgotten first.
#ifndef BREVANTO_SERVICE_ACCOUNTS_LOGIN_THROTTLE_H_
#define BREVANTO_SERVICE_ACCOUNTS_LOGIN_THROTTLE_H_

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr int kFreeFailures = 3;
  static constexpr int kLockFailures = 10;
  static constexpr int kUidFreeFailures = 10;
  static constexpr int kUidLockFailures = 30;
  static constexpr std::size_t kMaxRecords = 16384;

  explicit LoginThrottle(std::chrono::seconds lockout) : lockout_(lockout) {}

  // Claims the check of `name` for `uid`. Zero when the password may be
  // checked now; the caller must then call finish(). Otherwise how long
  // the pair (or the whole uid) stays refused.
  Clock::duration claim(uid_t uid, const std::string& name);

  // Ends a claimed check with its outcome.
  void finish(uid_t uid, const std::string& name, bool success);

  // True when `uid` failed lately, with `name` or any other: its checks
  // wait behind those of uids without failures.
  bool suspect(uid_t uid, const std::string& name);

 private:
  struct Record {
    int failures = 0;
    bool checking = false;
    Clock::time_point blocked_until;
    Clock::time_point last_failure;
  };
  template <typename Key>
  using Table = std::unordered_map<Key, Record>;

  // Counts a failure at `now` and sets the record's delay.
  void fail(Record& record, int free_failures, int lock_failures, Clock::time_point now) const;
  // Makes room in a full table.
  template <typename Key>
  static void forget_oldest(Table<Key>& table);

  std::mutex mu_;
  std::condition_variable checked_;
  std::chrono::seconds lockout_;
  Table<std::string> pairs_;  // by uid (4 bytes) and name
  Table<uid_t> uids_;
};

// The delay a connection waits before the reply to its `failures`-th failed
// login: 250 ms, doubling, at most 8 s. Slows down guessing on one
// connection whatever names it tries.
std::chrono::milliseconds connection_failure_delay(int failures);

#endif  // BREVANTO_SERVICE_ACCOUNTS_LOGIN_THROTTLE_H_
