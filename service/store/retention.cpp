#include "service/store/retention.h"

#include <time.h>

#include <ctime>

#include <algorithm>
#include <cstdlib>
#include <set>

#include "service/store/filetime.h"

namespace {

std::tm utc(std::int64_t filetime) {
  const time_t seconds = static_cast<time_t>((filetime - kUnixEpochFiletime) / kFiletimePerSecond);
  std::tm tm{};
  ::gmtime_r(&seconds, &tm);
  return tm;
}

// A key per calendar bucket: day, ISO week or month.
std::int64_t day_key(const std::tm& tm) { return (tm.tm_year + 1900) * 1000 + tm.tm_yday; }
std::int64_t month_key(const std::tm& tm) { return (tm.tm_year + 1900) * 100 + tm.tm_mon; }
std::int64_t week_key(const std::tm& tm) {
  char text[16];
  std::strftime(text, sizeof text, "%G%V", &tm);
  return std::atoll(text);
}

// Keeps the newest point of each of the newest `count` buckets. A clock
// that went back can put a bucket's points apart in the order of changes:
// each bucket counts once, with its newest point.
template <typename Key>
void keep_buckets(const std::vector<Point>& newest_first, int count, Key key,
                  std::set<std::string>* kept) {
  std::set<std::int64_t> seen;
  for (const Point& point : newest_first) {
    if (count <= 0) return;
    if (!seen.insert(key(utc(point.made))).second) continue;
    kept->insert(point.name);
    --count;
  }
}

}  // namespace

std::vector<std::string> points_to_keep(std::vector<Point> points, const RetentionPolicy& policy,
                                        std::int64_t now) {
  // Newest first in the order of changes, which the clock's times need not
  // follow (a clock set back); each point's own time decides its buckets
  // and its age.
  std::sort(points.begin(), points.end(), [](const Point& a, const Point& b) {
    if (a.seq != b.seq) return a.seq > b.seq;
    return a.made != b.made ? a.made > b.made : a.name > b.name;
  });
  std::set<std::string> kept;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const bool recent = points[i].made >= now - policy.within_seconds * kFiletimePerSecond;
    if (i == 0 || static_cast<int>(i) < policy.last || recent) kept.insert(points[i].name);
  }
  keep_buckets(points, policy.daily, day_key, &kept);
  keep_buckets(points, policy.weekly, week_key, &kept);
  keep_buckets(points, policy.monthly, month_key, &kept);
  return std::vector<std::string>(kept.begin(), kept.end());
}

bool parse_duration(const std::string& text, std::int64_t* seconds) {
  if (text == "0") {
    *seconds = 0;
    return true;
  }
  char* end = nullptr;
  const long long n = std::strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || n < 0 || end[0] == '\0' || end[1] != '\0') return false;
  static const std::pair<char, std::int64_t> kUnits[] = {
      {'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}, {'w', 7 * 86400}, {'y', 365 * 86400}};
  for (const auto& unit : kUnits) {
    if (end[0] == unit.first) {
      if (n > INT64_MAX / unit.second) return false;
      *seconds = n * unit.second;
      return true;
    }
  }
  return false;
}
