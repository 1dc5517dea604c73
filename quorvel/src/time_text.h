// The records' time text: "YYYY/MM/DD hh:mm:ss" in UTC.
#ifndef QUORVEL_SRC_TIME_TEXT_H_
#define QUORVEL_SRC_TIME_TEXT_H_

#include <cstdint>
#include <string>

namespace quorvel {

// The time text of a time in seconds since 1970-01-01 UTC; times outside
// the years 1601 to 9999 are clamped to those bounds.
std::u16string TimeText(std::int64_t unix_seconds);

}  // namespace quorvel

#endif  // QUORVEL_SRC_TIME_TEXT_H_
