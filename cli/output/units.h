// Sizes, durations and times as people read them.
#ifndef BREVANTO_CLI_UNITS_H_
#define BREVANTO_CLI_UNITS_H_

#include <cstdint>
#include <string>

#include "client/Brevanto.h"

// "512 B", "1.5 KiB", "50.0 MiB".
std::string human_bytes(std::uint64_t bytes);
// "500", "64k", "10M", "2G", "1T" (also "10MiB", "10m"): bytes, with
// powers of 1024; false for anything else and for sizes past 2^64.
bool parse_size(const std::string& text, std::uint64_t& bytes);
// "0:07", "12:05", "1:02:03".
std::string human_duration(double seconds);

std::uint64_t join_halves(DWORD high, DWORD low);
// A FILETIME (100 ns since 1601-01-01 UTC) as "2026-12-07 08:00:00 UTC";
// "-" for 0.
std::string filetime_text(const FILETIME& time);
// The same time in ISO 8601: local time with its offset
// ("2026-12-07T09:00:00+01:00"), or UTC ("2026-12-07T08:00:00Z"); empty
// for 0.
std::string filetime_iso8601(const FILETIME& time, bool local);

#endif  // BREVANTO_CLI_UNITS_H_
