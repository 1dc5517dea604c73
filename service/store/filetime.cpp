#include "service/store/filetime.h"

std::int64_t filetime_from_timespec(const timespec& ts) {
  return kUnixEpochFiletime + static_cast<std::int64_t>(ts.tv_sec) * 10000000 +
         ts.tv_nsec / 100;
}

std::int64_t filetime_now() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return filetime_from_timespec(ts);
}

timespec timespec_from_filetime(std::int64_t filetime) {
  const std::int64_t since_epoch = filetime - kUnixEpochFiletime;
  std::int64_t seconds = since_epoch / 10000000;
  std::int64_t rest = since_epoch % 10000000;
  if (rest < 0) {  // before 1970: the remainder counts up from the second below
    rest += 10000000;
    --seconds;
  }
  timespec ts;
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>(rest * 100);
  return ts;
}
