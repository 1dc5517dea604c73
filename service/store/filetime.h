// FILETIME counts: 100-nanosecond intervals since 1601-01-01 00:00 UTC.
#ifndef BREVANTO_SERVICE_STORE_FILETIME_H_
#define BREVANTO_SERVICE_STORE_FILETIME_H_

#include <time.h>

#include <cstdint>

// The FILETIME count of the Unix epoch, 1970-01-01 00:00 UTC.
constexpr std::int64_t kUnixEpochFiletime = 116444736000000000;
// FILETIME counts in one second.
constexpr std::int64_t kFiletimePerSecond = 10000000;

std::int64_t filetime_from_timespec(const timespec& ts);
std::int64_t filetime_now();
timespec timespec_from_filetime(std::int64_t filetime);

#endif  // BREVANTO_SERVICE_STORE_FILETIME_H_
