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
