// Slows password guessing down, per account name. Every name is tracked,
// whether it exists or not, so the answers tell nothing about which names
// exist.
//
// - Checks of one name run one at a time: a login waits while another
//   check of its name runs, or, when the name failed before, is refused at
//   once. So parallel connections guess no faster than one.
// - After kFreeFailures failed logins in a row, a name may be tried again
//   only after a delay that doubles with every further failure (4 s, 8 s,
//   16 s, ...; never longer than the lock-out), and after kLockFailures it
//   is locked for the whole lock-out. A login tried too early is refused
//   without checking the password.
// - A success clears the name's record. The table is bounded: the oldest
//   quiet names are forgotten first.
#ifndef BREVANTO_SERVICE_ACCOUNTS_LOGIN_THROTTLE_H_
#define BREVANTO_SERVICE_ACCOUNTS_LOGIN_THROTTLE_H_

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
  static constexpr std::size_t kMaxNames = 16384;

  explicit LoginThrottle(std::chrono::seconds lockout) : lockout_(lockout) {}

  // Claims the check of `name`. Zero when the password may be checked now;
  // the caller must then call finish(). Otherwise how long the name stays
  // refused.
  Clock::duration claim(const std::string& name);

  // Ends a claimed check with its outcome.
  void finish(const std::string& name, bool success);

  // True when `name` failed and has not logged in since: its check waits
  // behind those of names without failures.
  bool suspect(const std::string& name);

 private:
  struct Record {
    int failures = 0;
    bool checking = false;
    Clock::time_point blocked_until;
    Clock::time_point last_failure;
  };
  void forget_oldest();

  std::mutex mu_;
  std::condition_variable checked_;
  std::chrono::seconds lockout_;
  std::unordered_map<std::string, Record> records_;
};

// The delay a connection waits before the reply to its `failures`-th failed
// login: 250 ms, doubling, at most 8 s. Slows down guessing on one
// connection whatever names it tries.
std::chrono::milliseconds connection_failure_delay(int failures);

#endif  // BREVANTO_SERVICE_ACCOUNTS_LOGIN_THROTTLE_H_
