#include "service/accounts/login_throttle.h"

#include <algorithm>

LoginThrottle::Clock::duration LoginThrottle::claim(const std::string& name) {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    const auto it = records_.find(name);
    if (it == records_.end()) break;
    Record& r = it->second;
    if (r.checking) {
      // A name that failed is refused rather than queued: a flood of
      // guesses must not hold connections (or threads) waiting.
      if (r.failures > 0) return std::chrono::seconds(1);
      checked_.wait(lock);
      continue;
    }
    const auto now = Clock::now();
    if (r.blocked_until > now) return r.blocked_until - now;
    r.checking = true;
    return Clock::duration::zero();
  }
  if (records_.size() >= kMaxNames) forget_oldest();
  records_[name].checking = true;
  return Clock::duration::zero();
}

void LoginThrottle::finish(const std::string& name, bool success) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = records_.find(name);
    if (it == records_.end()) return;
    Record& r = it->second;
    r.checking = false;
    const auto now = Clock::now();
    if (success) {
      records_.erase(it);
    } else {
      // A name quiet for a whole lock-out starts afresh.
      if (r.failures > 0 && now - r.last_failure > lockout_ && now >= r.blocked_until) {
        r.failures = 0;
      }
      ++r.failures;
      r.last_failure = now;
      if (r.failures >= kLockFailures) {
        r.blocked_until = now + lockout_;
      } else if (r.failures >= kFreeFailures) {
        const auto delay = std::chrono::seconds(4) * (1 << (r.failures - kFreeFailures));
        r.blocked_until = now + std::min<Clock::duration>(delay, lockout_);
      }
    }
  }
  checked_.notify_all();
}

bool LoginThrottle::suspect(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = records_.find(name);
  return it != records_.end() && it->second.failures > 0;
}

void LoginThrottle::forget_oldest() {
  const auto now = Clock::now();
  auto oldest = records_.end();
  for (auto it = records_.begin(); it != records_.end(); ++it) {
    // Names being checked or still blocked are kept.
    if (it->second.checking || it->second.blocked_until > now) continue;
    if (oldest == records_.end() || it->second.last_failure < oldest->second.last_failure) {
      oldest = it;
    }
  }
  if (oldest != records_.end()) records_.erase(oldest);
}

std::chrono::milliseconds connection_failure_delay(int failures) {
  const int shift = std::min(std::max(failures - 1, 0), 5);
  return std::chrono::milliseconds(250) * (1 << shift);
}
