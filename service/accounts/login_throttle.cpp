#include "service/accounts/login_throttle.h"

#include <algorithm>

namespace {

std::string pair_key(uid_t uid, const std::string& name) {
  return std::string(reinterpret_cast<const char*>(&uid), sizeof(uid)) + name;
}

}  // namespace

LoginThrottle::Clock::duration LoginThrottle::claim(uid_t uid, const std::string& name) {
  const std::string key = pair_key(uid, name);
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    const auto now = Clock::now();
    const auto by_uid = uids_.find(uid);
    if (by_uid != uids_.end() && by_uid->second.blocked_until > now) {
      return by_uid->second.blocked_until - now;
    }
    const auto it = pairs_.find(key);
    if (it == pairs_.end()) break;
    Record& r = it->second;
    if (r.checking) {
      // A pair that failed is refused rather than queued: a flood of
      // guesses must not hold connections (or threads) waiting.
      if (r.failures > 0) return std::chrono::seconds(1);
      checked_.wait(lock);
      continue;
    }
    if (r.blocked_until > now) return r.blocked_until - now;
    r.checking = true;
    return Clock::duration::zero();
  }
  if (pairs_.size() >= kMaxRecords) forget_oldest(pairs_);
  pairs_[key].checking = true;
  return Clock::duration::zero();
}

void LoginThrottle::fail(Record& r, int free_failures, int lock_failures,
                         Clock::time_point now) const {
  // A record quiet for a whole lock-out starts afresh.
  if (r.failures > 0 && now - r.last_failure > lockout_ && now >= r.blocked_until) {
    r.failures = 0;
  }
  ++r.failures;
  r.last_failure = now;
  if (r.failures >= lock_failures) {
    r.blocked_until = now + lockout_;
  } else if (r.failures >= free_failures) {
    const auto delay = std::chrono::seconds(4) * (1LL << (r.failures - free_failures));
    r.blocked_until = now + std::min<Clock::duration>(delay, lockout_);
  }
}

void LoginThrottle::finish(uid_t uid, const std::string& name, bool success) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = pairs_.find(pair_key(uid, name));
    if (it == pairs_.end()) return;
    it->second.checking = false;
    if (success) {
      pairs_.erase(it);
    } else {
      const auto now = Clock::now();
      fail(it->second, kFreeFailures, kLockFailures, now);
      if (uids_.size() >= kMaxRecords && uids_.count(uid) == 0) forget_oldest(uids_);
      fail(uids_[uid], kUidFreeFailures, kUidLockFailures, now);
    }
  }
  checked_.notify_all();
}

bool LoginThrottle::suspect(uid_t uid, const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto by_uid = uids_.find(uid);
  if (by_uid != uids_.end() && by_uid->second.failures > 0) return true;
  const auto it = pairs_.find(pair_key(uid, name));
  return it != pairs_.end() && it->second.failures > 0;
}

template <typename Key>
void LoginThrottle::forget_oldest(Table<Key>& table) {
  const auto now = Clock::now();
  auto oldest = table.end();
  for (auto it = table.begin(); it != table.end(); ++it) {
    // Records being checked or still blocked are kept.
    if (it->second.checking || it->second.blocked_until > now) continue;
    if (oldest == table.end() || it->second.last_failure < oldest->second.last_failure) {
      oldest = it;
    }
  }
  if (oldest != table.end()) table.erase(oldest);
}

std::chrono::milliseconds connection_failure_delay(int failures) {
  const int shift = std::min(std::max(failures - 1, 0), 5);
  return std::chrono::milliseconds(250) * (1 << shift);
}
