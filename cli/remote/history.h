// Earlier versions. The local service keeps every version a change replaces
// or removes and shows them in "\.history", a read-only folder at the top of
// every tree: "\.history\<point>\..." is the whole tree as it was at a point
// in time, made when a connection that changed the tree logged out. Points
// are named in UTC so that they sort as text ("2026-12-07T221503Z"); the
// service drops old ones by its own retention.
#ifndef BREVANTO_CLI_HISTORY_H_
#define BREVANTO_CLI_HISTORY_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli/remote/session.h"

// The folder of points, at the top of the tree.
inline constexpr char kHistoryFolder[] = "\\.history";
// Its name, one component.
inline constexpr char kHistoryName[] = ".history";

// True for "\.history" and every storage path below it.
bool in_history(const std::string& storage_path);

// `path` (a storage path of the current tree) as the tree held it at
// `point`: "\.history\<point>\..." ("\.history\<point>" for the root).
std::string at_point(const std::string& point, const std::string& path);

// The top of the tree `path` lies in: "\.history\<point>" for a path at or
// below a point, else "\".
std::string tree_top(const std::string& path);

// The point a path at or below a point lies in; empty for any other path.
std::string point_of(const std::string& path);

struct Point {
  std::string name;       // "2026-12-07T221503Z"
  std::int64_t time = 0;  // seconds since 1970, from the name
};

// The time a point's name stands for; false when `name` is no point name.
bool parse_point_name(std::string_view name, std::int64_t& time);

// A point in time as typed after --at or diff: a point's name, "latest",
// a date ("2026-12-01": the end of that day), a date and time
// ("2026-12-01T10:00", "2026-12-01 10:00:30"; local time unless it ends in
// 'Z'), or an age ("30m", "12h", "2d", "1w", "1y" ago).
struct PointSpec {
  enum class Kind { kName, kLatest, kTime } kind = Kind::kLatest;
  std::string text;       // as typed
  std::int64_t time = 0;  // kTime: the newest point at or before it is meant
};

// False, with `error` saying what is accepted, for anything else. `now` is
// what ages count back from.
bool parse_point_spec(std::string_view text, std::int64_t now, PointSpec& spec,
                      std::string& error);

// "2026-12-07 23:15:03", the time in local time.
std::string local_time_text(std::int64_t time);

// The points of "\.history", oldest first (names that are no point names
// left out). Returns the library's status; the cloud back end has no
// "\.history" and fails.
int list_points(Session& session, std::vector<Point>& points);

// The point `spec` names among `points` (oldest first): its index, or -1
// with `error` saying why none is (no such name, nothing at or before the
// time).
long pick_point(const std::vector<Point>& points, const PointSpec& spec, std::string& error);

// Opens the session and lists the points; prints why not as "<what>: ..."
// and returns an exit code (kFailed for a storage without "\.history").
int load_points(Session& session, const std::string& what, std::vector<Point>& points);

// Opens the session, lists the points and picks the one `spec` names.
// Prints why not as "<what>: ..." (`what` such as "restore --at 2d") and
// returns an exit code (kUsage for a spec that is none, kFailed when no
// point fits). On success `points` holds the points and `index` the one
// picked.
int find_point(Session& session, const std::string& what, const std::string& spec,
               std::vector<Point>& points, std::size_t& index);

// What identifies one version of a stored file: its reversion and the time
// of its upload. Found is false when the path held no file.
struct FileVersion {
  bool found = false;
  int reversion = 0;
  std::uint64_t modified = 0;  // FILETIME
  bool operator==(const FileVersion& other) const {
    return found == other.found && reversion == other.reversion && modified == other.modified;
  }
};
FileVersion file_version(Session& session, const std::string& path);

// The nearest folder from `path` up (itself first) whose backup manifest
// the tree held at `point`; empty when none. One request a level.
std::string backup_root_at(Session& session, const std::string& point, const std::string& path);

// The oldest point, at or before points[index], at which the manifest of
// the backup in `backup_root` was the one it is at points[index]: the point
// the backup was completed at, which holds exactly its files (a later one
// may hold files a later backup, stopped or still at work, changed). One
// request a point.
std::size_t completion_point(Session& session, const std::vector<Point>& points,
                             std::size_t index, const std::string& backup_root);

#endif  // BREVANTO_CLI_HISTORY_H_
