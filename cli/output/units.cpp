#include "cli/output/units.h"

#include <cstdio>
#include <ctime>

bool parse_size(const std::string& text, std::uint64_t& bytes) {
  std::size_t digits = 0;
  std::uint64_t value = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
    const auto digit = static_cast<std::uint64_t>(text[digits] - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
    ++digits;
  }
  if (digits == 0) return false;
  std::string unit = text.substr(digits);
  if (unit == "B" || unit == "b") unit.clear();
  for (const char* tail : {"iB", "B", "ib", "b"}) {
    const std::string suffix = tail;
    if (unit.size() > suffix.size() &&
        unit.compare(unit.size() - suffix.size(), suffix.size(), suffix) == 0) {
      unit.resize(unit.size() - suffix.size());
      break;
    }
  }
  int shift = 0;
  if (unit.size() > 1) return false;
  if (unit.size() == 1) {
    switch (unit[0]) {
      case 'k': case 'K': shift = 10; break;
      case 'm': case 'M': shift = 20; break;
      case 'g': case 'G': shift = 30; break;
      case 't': case 'T': shift = 40; break;
      default: return false;
    }
  }
  if (shift > 0 && value > (UINT64_MAX >> shift)) return false;
  bytes = value << shift;
  return true;
}

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

namespace {

// The FILETIME as broken-down time; false for 0 or a time out of range.
bool split_filetime(const FILETIME& time, bool local, std::tm& parts) {
  const std::uint64_t ticks = join_halves(time.dwHighDateTime, time.dwLowDateTime);
  if (ticks == 0) return false;
  constexpr std::uint64_t kUnixEpoch = 116444736000000000ull;  // 1970-01-01 as FILETIME
  const std::int64_t seconds =
      (static_cast<std::int64_t>(ticks) - static_cast<std::int64_t>(kUnixEpoch)) / 10000000;
  const std::time_t unix_time = static_cast<std::time_t>(seconds);
  return (local ? localtime_r(&unix_time, &parts) : gmtime_r(&unix_time, &parts)) != nullptr;
}

}  // namespace

std::string filetime_text(const FILETIME& time) {
  std::tm utc;
  if (!split_filetime(time, false, utc)) return "-";
  char text[40];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &utc);
  return text;
}

std::string filetime_iso8601(const FILETIME& time, bool local) {
  std::tm parts;
  if (!split_filetime(time, local, parts)) return std::string();
  char text[40];
  std::strftime(text, sizeof(text), local ? "%Y-%m-%dT%H:%M:%S%z" : "%Y-%m-%dT%H:%M:%SZ", &parts);
  std::string iso = text;
  if (local && iso.size() >= 5) iso.insert(iso.size() - 2, ":");  // +0100 -> +01:00
  return iso;
}
