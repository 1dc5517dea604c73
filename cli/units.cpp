#include "cli/units.h"

#include <cstdio>
#include <ctime>

std::string human_bytes(std::uint64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 5) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string human_duration(double seconds) {
  if (seconds < 0 || seconds > 359999) return "--:--";
  const long total = static_cast<long>(seconds + 0.5);
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof(text), "%ld:%02ld:%02ld", total / 3600, total / 60 % 60,
                  total % 60);
  } else {
    std::snprintf(text, sizeof(text), "%ld:%02ld", total / 60, total % 60);
  }
  return text;
}

std::uint64_t join_halves(DWORD high, DWORD low) {
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

std::string filetime_text(const FILETIME& time) {
  const std::uint64_t ticks = join_halves(time.dwHighDateTime, time.dwLowDateTime);
  if (ticks == 0) return "-";
  constexpr std::uint64_t kUnixEpoch = 116444736000000000ull;  // 1970-01-01 as FILETIME
  const std::int64_t seconds =
      (static_cast<std::int64_t>(ticks) - static_cast<std::int64_t>(kUnixEpoch)) / 10000000;
  const std::time_t unix_time = static_cast<std::time_t>(seconds);
  std::tm utc;
  if (gmtime_r(&unix_time, &utc) == nullptr) return "-";
  char text[40];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &utc);
  return text;
}
