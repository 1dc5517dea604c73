#include "cli/remote/history.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <ctime>
#include <list>

#include "cli/exit_codes.h"
#include "cli/manifest/manifest.h"
#include "cli/output/output.h"
#include "cli/output/units.h"
#include "cli/remote/storage_path.h"
#include "cli/text.h"

namespace {

// Reads `count` digits at `text[at]` into `value`.
bool digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

bool valid_parts(const std::tm& parts) {
  return parts.tm_mon >= 0 && parts.tm_mon <= 11 && parts.tm_mday >= 1 && parts.tm_mday <= 31 &&
         parts.tm_hour >= 0 && parts.tm_hour <= 23 && parts.tm_min >= 0 && parts.tm_min <= 59 &&
         parts.tm_sec >= 0 && parts.tm_sec <= 60;
}

// "YYYY-MM-DD" at the start of `text`.
bool read_date(std::string_view text, std::tm& parts) {
  int year = 0, month = 0, day = 0;
  if (!digits(text, 0, 4, year) || text.size() < 10 || text[4] != '-' ||
      !digits(text, 5, 2, month) || text[7] != '-' || !digits(text, 8, 2, day)) {
    return false;
  }
  parts = std::tm{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  return true;
}

// An age: digits and a unit, m h d w y.
bool read_age(std::string_view text, std::int64_t& seconds) {
  if (text.size() < 2) return false;
  std::int64_t count = 0;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i])) || count > 1000000) return false;
    count = count * 10 + (text[i] - '0');
  }
  std::int64_t unit = 0;
  switch (text.back()) {
    case 'm': unit = 60; break;
    case 'h': unit = 3600; break;
    case 'd': unit = 86400; break;
    case 'w': unit = 7 * 86400; break;
    case 'y': unit = 365 * 86400; break;
    default: return false;
  }
  seconds = count * unit;
  return true;
}

}  // namespace

bool in_history(const std::string& storage_path) {
  const std::string path = to_storage_path(storage_path);
  const std::string top = kHistoryFolder;
  return path == top || path.compare(0, top.size() + 1, top + "\\") == 0;
}

std::string at_point(const std::string& point, const std::string& path) {
  return storage_join(std::string(kHistoryFolder) + "\\" + point,
                      to_storage_path(path).substr(1));
}

std::string point_of(const std::string& path) {
  const std::string normal = to_storage_path(path);
  if (!in_history(normal) || normal.size() <= sizeof(kHistoryFolder)) return std::string();
  const std::size_t from = sizeof(kHistoryFolder);  // after "\.history\"
  return normal.substr(from, normal.find('\\', from) - from);
}

std::string tree_top(const std::string& path) {
  const std::string point = point_of(path);
  return point.empty() ? std::string("\\") : std::string(kHistoryFolder) + "\\" + point;
}

bool parse_point_name(std::string_view name, std::int64_t& time) {
  // 2026-12-07T221503Z
  std::tm parts;
  int hour = 0, minute = 0, second = 0;
  if (name.size() != 18 || !read_date(name, parts) || name[10] != 'T' ||
      !digits(name, 11, 2, hour) || !digits(name, 13, 2, minute) ||
      !digits(name, 15, 2, second) || name[17] != 'Z') {
    return false;
  }
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  if (!valid_parts(parts)) return false;
  time = static_cast<std::int64_t>(timegm(&parts));
  return true;
}

bool parse_point_spec(std::string_view text, std::int64_t now, PointSpec& spec,
                      std::string& error) {
  spec = PointSpec{};
  spec.text = std::string(text);
  std::int64_t seconds = 0;
  std::tm parts;
  if (text == "latest") {
    spec.kind = PointSpec::Kind::kLatest;
    return true;
  }
  if (parse_point_name(text, seconds)) {
    spec.kind = PointSpec::Kind::kName;
    spec.time = seconds;
    return true;
  }
  spec.kind = PointSpec::Kind::kTime;
  if (read_age(text, seconds)) {
    spec.time = now - seconds;
    return true;
  }
  if (read_date(text, parts)) {
    std::string_view rest = text.substr(10);
    bool utc = false;
    if (rest.empty()) {  // a day: up to its end
      parts.tm_hour = 23;
      parts.tm_min = 59;
      parts.tm_sec = 59;
    } else {
      if (rest.back() == 'Z') {
        utc = true;
        rest.remove_suffix(1);
      }
      int hour = 0, minute = 0, second = 0;
      const bool read = (rest.size() == 6 || rest.size() == 9) &&
                        (rest[0] == 'T' || rest[0] == ' ') && digits(rest, 1, 2, hour) &&
                        rest[3] == ':' && digits(rest, 4, 2, minute) &&
                        (rest.size() == 6 || (rest[6] == ':' && digits(rest, 7, 2, second)));
      if (!read) parts.tm_mon = -1;  // refused below
      parts.tm_hour = hour;
      parts.tm_min = minute;
      parts.tm_sec = second;
    }
    if (valid_parts(parts)) {
      parts.tm_isdst = -1;
      const std::time_t time = utc ? timegm(&parts) : mktime(&parts);
      if (time != static_cast<std::time_t>(-1)) {
        spec.time = static_cast<std::int64_t>(time);
        return true;
      }
    }
  }
  error = "\"" + spec.text + "\" is no point in time: give a point's name (2026-12-07T221503Z), "
          "latest, a date (2026-12-01, its end), a date and time (2026-12-01T10:00, local; "
          "a trailing Z for UTC) or an age (30m, 12h, 2d, 1w, 1y)";
  return false;
}

std::string local_time_text(std::int64_t time) {
  const std::time_t value = static_cast<std::time_t>(time);
  std::tm parts;
  if (localtime_r(&value, &parts) == nullptr) return "-";
  char text[40];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

int list_points(Session& session, std::vector<Point>& points) {
  std::list<_path_buffer*> listing;
  CBrevanto& client = session.client();
  const int status = client.getfilelist(widen(kHistoryFolder).c_str(), false, listing);
  for (const _path_buffer* entry : listing) {
    if (!entry || entry->is_dir != 1) continue;
    Point point{storage_basename(to_storage_path(narrow(entry->full_path)))};
    if (parse_point_name(point.name, point.time)) points.push_back(std::move(point));
  }
  client.releasefilelist(listing);
  std::sort(points.begin(), points.end(),
            [](const Point& a, const Point& b) { return a.name < b.name; });
  return status;
}

long pick_point(const std::vector<Point>& points, const PointSpec& spec, std::string& error) {
  if (points.empty()) {
    error = "the storage holds no earlier versions yet (" + std::string(kHistoryFolder) +
            " is empty)";
    return -1;
  }
  const std::string range = "the points run from " + points.front().name + " (" +
                            local_time_text(points.front().time) + ") to " + points.back().name +
                            " (" + local_time_text(points.back().time) + ")";
  switch (spec.kind) {
    case PointSpec::Kind::kLatest: return static_cast<long>(points.size()) - 1;
    case PointSpec::Kind::kName:
      for (std::size_t i = 0; i < points.size(); ++i) {
        if (points[i].name == spec.text) return static_cast<long>(i);
      }
      error = "no point named " + spec.text + "; " + range;
      return -1;
    case PointSpec::Kind::kTime: break;
  }
  long found = -1;
  for (std::size_t i = 0; i < points.size() && points[i].time <= spec.time; ++i) {
    found = static_cast<long>(i);
  }
  if (found < 0) {
    error = "no point at or before " + local_time_text(spec.time) + "; " + range;
  }
  return found;
}

int load_points(Session& session, const std::string& what, std::vector<Point>& points) {
  if (const int rc = session.open()) return rc;
  points.clear();
  if (const int status = list_points(session, points)) {
    // The cloud back end keeps no earlier versions, nor does an older service.
    if (!session.cloud() && !session.not_found(status)) {
      return session.fail(what + ": ls " + kHistoryFolder, status);
    }
    print_error(what + ": the storage keeps no earlier versions (it has no " +
                kHistoryFolder + ")");
    return exit_codes::kFailed;
  }
  return exit_codes::kOk;
}

int find_point(Session& session, const std::string& what, const std::string& text,
               std::vector<Point>& points, std::size_t& index) {
  PointSpec spec;
  std::string error;
  if (!parse_point_spec(text, static_cast<std::int64_t>(std::time(nullptr)), spec, error)) {
    print_error(what + ": " + error);
    return exit_codes::kUsage;
  }
  if (const int rc = load_points(session, what, points)) return rc;
  const long picked = pick_point(points, spec, error);
  if (picked < 0) {
    print_error(what + ": " + error);
    return exit_codes::kFailed;
  }
  index = static_cast<std::size_t>(picked);
  return exit_codes::kOk;
}

FileVersion file_version(Session& session, const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  int backup_type = 0;
  FileVersion version;
  if (session.client().getfileinfo(widen(path).c_str(), data, backup_type, version.reversion) ==
      0) {
    version.found = true;
    version.modified =
        join_halves(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime);
  }
  return version;
}

std::string backup_root_at(Session& session, const std::string& point, const std::string& path) {
  std::string dir = to_storage_path(path);
  for (;;) {
    if (session.client().is_path_exists(
            widen(at_point(point, storage_join(dir, kManifestName))).c_str())) {
      return dir;
    }
    if (dir == "\\") return std::string();
    dir = dir.substr(0, std::max<std::size_t>(dir.rfind('\\'), 1));
  }
}

std::size_t completion_point(Session& session, const std::vector<Point>& points,
                             std::size_t index, const std::string& backup_root) {
  const std::string manifest = storage_join(backup_root, kManifestName);
  const FileVersion version = file_version(session, at_point(points[index].name, manifest));
  if (!version.found) return index;
  while (index > 0 &&
         file_version(session, at_point(points[index - 1].name, manifest)) == version) {
    --index;
  }
  return index;
}
