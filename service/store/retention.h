// Which points of a tree to keep, in the manner of a backup tool's
// "forget": the newest `last` points, the newest point of each of the
// newest `daily` days (UTC) that have points, likewise of `weekly` weeks
// (ISO weeks) and `monthly` months, and every point made within `within`
// before now. "Newest" is in the order of changes (Point::seq), whatever
// the clock said when the points were made. The newest point is always
// kept.
#ifndef BREVANTO_SERVICE_STORE_RETENTION_H_
#define BREVANTO_SERVICE_STORE_RETENTION_H_

#include <cstdint>
#include <string>
#include <vector>

#include "service/store/file_catalog.h"

struct RetentionPolicy {
  int last = 10;
  int daily = 14;
  int weekly = 8;
  int monthly = 24;
  std::int64_t within_seconds = 7 * 24 * 3600;
};

// The names of the points to keep. `now` and Point::made are FILETIME
// counts.
std::vector<std::string> points_to_keep(std::vector<Point> points, const RetentionPolicy& policy,
                                        std::int64_t now);

// Parses a duration such as "7d", "12h", "2w", "30m" or "0" into seconds;
// false when it is none.
bool parse_duration(const std::string& text, std::int64_t* seconds);

#endif  // BREVANTO_SERVICE_STORE_RETENTION_H_
