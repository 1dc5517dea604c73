#include "time_text.h"

#include <cstdio>

namespace quorvel {
namespace {

constexpr std::int64_t kFirst = -11644473600LL;  // 1601/01/01 00:00:00
constexpr std::int64_t kLast = 253402300799LL;   // 9999/12/31 23:59:59
constexpr std::int64_t kDaySeconds = 86400;

struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

// The proleptic Gregorian date of a day count since 1970-01-01 (H. Hinnant's
// civil_from_days).
CivilDate DateOfDay(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned shifted_month = (5 * day_of_year + 2) / 153;  // March is 0
  const unsigned day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  const unsigned month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  return {static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

}  // namespace

std::u16string TimeText(std::int64_t unix_seconds) {
  if (unix_seconds < kFirst) unix_seconds = kFirst;
  if (unix_seconds > kLast) unix_seconds = kLast;
  std::int64_t days = unix_seconds / kDaySeconds;
  std::int64_t seconds = unix_seconds % kDaySeconds;
  if (seconds < 0) {
    seconds += kDaySeconds;
    --days;
  }
  const CivilDate date = DateOfDay(days);
  char text[32];
  std::snprintf(text, sizeof(text), "%04d/%02u/%02u %02d:%02d:%02d", static_cast<int>(date.year),
                date.month, date.day, static_cast<int>(seconds / 3600),
                static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

}  // namespace quorvel
