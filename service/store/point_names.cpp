#include "service/store/point_names.h"

#include <time.h>

#include <ctime>

#include "service/store/filetime.h"

namespace {

constexpr char kFormat[] = "%Y-%m-%dT%H%M%SZ";

std::int64_t second_of(std::int64_t filetime) {
  return (filetime - kUnixEpochFiletime) / kFiletimePerSecond;
}

}  // namespace

std::string point_name_at(std::int64_t filetime) {
  const time_t seconds = static_cast<time_t>(second_of(filetime));
  std::tm tm{};
  ::gmtime_r(&seconds, &tm);
  char name[32];
  std::strftime(name, sizeof name, kFormat, &tm);
  return name;
}

bool point_name_time(const std::string& name, std::int64_t* filetime) {
  std::tm tm{};
  const char* end = ::strptime(name.c_str(), kFormat, &tm);
  if (end == nullptr || *end != '\0' || name.size() != 18) return false;
  *filetime = kUnixEpochFiletime + static_cast<std::int64_t>(::timegm(&tm)) * kFiletimePerSecond;
  return true;
}

std::string next_point_name(const std::optional<Point>& newest, std::int64_t now,
                            bool* stepped_back) {
  *stepped_back = false;
  std::string name = point_name_at(now);
  if (!newest || name > newest->name) return name;
  if (second_of(newest->made) == second_of(now)) return newest->name;
  *stepped_back = true;
  std::int64_t after = newest->made;
  if (!point_name_time(newest->name, &after)) after = newest->made > now ? newest->made : now;
  return point_name_at(after + kFiletimePerSecond);
}
