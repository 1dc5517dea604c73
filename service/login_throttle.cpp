#include "service/login_throttle.h"

#include <algorithm>

LoginThrottle::Clock::duration LoginThrottle::wait_for(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = records_.find(name);
  if (it == records_.end()) return Clock::duration::zero();
  const auto now = Clock::now();
  return it->second.blocked_until > now ? it->second.blocked_until - now
                                        : Clock::duration::zero();
}

bool LoginThrottle::suspect(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  return records_.count(name) != 0;
}

void LoginThrottle::failed(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  if (records_.size() >= kMaxNames && records_.count(name) == 0) forget_oldest();
  Record& r = records_[name];
  const auto now = Clock::now();
  // A name quiet for a whole lock-out starts afresh.
  if (r.failures > 0 && now - r.last_failure > lockout_ && now >= r.blocked_until) r.failures = 0;
  ++r.failures;
  r.last_failure = now;
  if (r.failures >= kLockFailures) {
    r.blocked_until = now + lockout_;
  } else if (r.failures >= kFreeFailures) {
    const auto delay = std::chrono::seconds(4) * (1 << (r.failures - kFreeFailures));
    r.blocked_until = now + std::min<Clock::duration>(delay, lockout_);
  }
}

void LoginThrottle::succeeded(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  records_.erase(name);
}

void LoginThrottle::forget_oldest() {
  const auto now = Clock::now();
  auto oldest = records_.end();
  for (auto it = records_.begin(); it != records_.end(); ++it) {
    if (it->second.blocked_until > now) continue;  // a blocked name is kept
    if (oldest == records_.end() || it->second.last_failure < oldest->second.last_failure) {
      oldest = it;
    }
  }
  if (oldest == records_.end()) oldest = records_.begin();
  records_.erase(oldest);
}

std::chrono::milliseconds connection_failure_delay(int failures) {
  const int shift = std::min(std::max(failures - 1, 0), 5);
  return std::chrono::milliseconds(250) * (1 << shift);
}
