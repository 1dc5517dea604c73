// The names of a tree's points in time: UTC to the second
// ("2026-12-07T221503Z"), so that they sort as text in the order they were
// made. A clock that went back must not break that order: the names stay
// unique and ordered by change number whatever the clock says.
#ifndef BREVANTO_SERVICE_STORE_POINT_NAMES_H_
#define BREVANTO_SERVICE_STORE_POINT_NAMES_H_

#include <cstdint>
#include <optional>
#include <string>

#include "service/store/file_catalog.h"

// The name of a point made at `filetime`.
std::string point_name_at(std::int64_t filetime);

// The FILETIME a point name stands for; false when `name` is none.
bool point_name_time(const std::string& name, std::int64_t* filetime);

// The name for a point made `now`, the tree's newest point being `newest`:
// the name of `now`, or the newest's own name when both were made in the
// same second of the clock (the point then moves on to the latest change).
// When the clock went back (the name of `now` does not sort after the
// newest's), the name is the second after the newest's and `*stepped_back`
// is set; the point's `made` time stays the clock's.
std::string next_point_name(const std::optional<Point>& newest, std::int64_t now,
                            bool* stepped_back);

#endif  // BREVANTO_SERVICE_STORE_POINT_NAMES_H_
