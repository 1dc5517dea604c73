#include "cli/commands/history_commands.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <set>

#include "cli/exit_codes.h"
#include "cli/local/file_hash.h"
#include "cli/local/local_path.h"
#include "cli/local/local_target_check.h"
#include "cli/local/scratch_folder.h"
#include "cli/manifest/manifest_diff.h"
#include "cli/manifest/manifest_store.h"
#include "cli/output/output.h"
#include "cli/output/units.h"
#include "cli/remote/history.h"
#include "cli/remote/storage_path.h"

namespace {

// The time as ISO 8601, local with its offset or UTC.
std::string iso_time(std::int64_t time, bool local) {
  const std::uint64_t ticks = (static_cast<std::uint64_t>(time) + 11644473600ull) * 10000000ull;
  FILETIME filetime{static_cast<DWORD>(ticks & 0xffffffffu), static_cast<DWORD>(ticks >> 32)};
  return filetime_iso8601(filetime, local);
}

// One line of the snapshots table.
struct Row {
  const Point* point = nullptr;
  bool figures = false;  // the manifest was read
  std::size_t files = 0;
  std::uint64_t bytes = 0;
  bool incomplete = false;
};

void take_figures(const Manifest& manifest, Row& row) {
  row.figures = true;
  row.files = manifest.files.size();
  // Every name of a hard-linked file counts with its size, as the backup,
  // check and restore count it: each name is stored.
  for (const ManifestEntry& file : manifest.files) row.bytes += file.size;
  row.incomplete = manifest.incomplete;
}

void print_snapshots(const std::vector<Row>& rows, const std::string& remote) {
  if (json_output()) {
    std::string array = "[";
    for (const Row& row : rows) {
      JsonObject point;
      point.string("point", row.point->name)
          .string("time", iso_time(row.point->time, false))
          .string("local_time", iso_time(row.point->time, true));
      if (!remote.empty()) {
        point.raw("files", row.figures ? std::to_string(row.files) : "null")
            .raw("bytes", row.figures ? std::to_string(row.bytes) : "null")
            .boolean("incomplete", row.incomplete);
      }
      array += (array.size() > 1 ? "," : "") + point.str();
    }
    JsonObject result;
    if (!remote.empty()) result.string("remote", remote);
    print_json(result.raw("points", array + "]"));
    return;
  }
  if (rows.empty()) {
    std::printf("no points yet: the service makes one when a client that changed the storage "
                "logs out\n");
    return;
  }
  std::printf("%-18s  %s\n", "point",
              remote.empty() ? "time (local)" : "time (local)               files        size");
  for (const Row& row : rows) {
    std::printf("%-18s  %-19s", row.point->name.c_str(), local_time_text(row.point->time).c_str());
    if (!remote.empty()) {
      std::printf("  %9s  %10s%s", row.figures ? std::to_string(row.files).c_str() : "-",
                  row.figures ? human_bytes(row.bytes).c_str() : "-",
                  row.incomplete ? "  incomplete" : "");
    }
    std::printf("\n");
  }
  if (remote.empty()) {
    std::printf("%zu points, newest last\n", rows.size());
  } else {
    std::printf("%zu backups of %s, newest last\n", rows.size(), remote.c_str());
  }
}

// One side of a diff: the backup's manifest at a point or now, or the local
// tree.
struct Side {
  std::string name;   // for JSON: the point, "now", or the local directory
  std::string shown;  // for the header
  Manifest manifest;
};

// The manifest of the backup in `remote` at `point` (null: now). False,
// after printing why, when there is none to compare; its unreadable lines
// are printed and counted in `problems`.
bool read_side(Session& session, const std::string& remote, const Point* point,
               const ScratchFolder& scratch, Side& side, std::size_t& problems) {
  const std::string dir = point ? at_point(point->name, remote) : remote;
  side.name = point ? point->name : "now";
  side.shown = point ? remote + " at " + point->name + " (" + local_time_text(point->time) + ")"
                     : remote + " now";
  std::string error;
  switch (fetch_manifest(session, dir, scratch.path(), side.manifest, error)) {
    case FetchResult::kFetched:
      problems += report_manifest_problems("diff", side.manifest);
      return true;
    case FetchResult::kMissing:
      print_error("diff: " + dir + " holds no backup (no " + kManifestName + ")");
      return false;
    case FetchResult::kFailed: break;
  }
  print_error("diff: manifest " + storage_join(dir, kManifestName) + ": " + error +
              (session.error_code() == kLocalPathRefused ? scratch.refusal_advice()
                                                         : std::string()));
  return false;
}

// The local tree as the next backup would record it: the SHA-256 of a file
// whose size and time match `last` is taken from it, any other file is
// read. A file that cannot be read is reported and taken out of `last` too,
// so that it shows no change.
int read_local_side(const BackupOptions& options, Manifest& last, Side& side) {
  const std::string root = absolute_local(options.local_dir);
  std::error_code error;
  if (!std::filesystem::is_directory(root, error)) {
    print_error("diff: " + root + " is not a directory");
    return exit_codes::kFailed;
  }
  ExcludeRules rules;
  WalkOptions walk;
  if (!backup_walk_options(options, "diff", rules, walk)) return exit_codes::kUsage;
  LocalTree tree = walk_local_tree(root, walk);
  int rc = exit_codes::kOk;
  for (const std::string& problem : tree.problems) {
    print_error("diff: cannot read " + problem);
    rc = exit_codes::kFailed;
  }
  side.name = root;
  side.shown = root;
  std::map<std::string, const ManifestEntry*> known;
  for (const ManifestEntry& file : last.files) known[file.path] = &file;
  std::set<std::string> unread;
  Manifest& now = side.manifest;
  now.dirs.push_back(ManifestDir{".", tree.root_mode, tree.root_mtime_ns});
  for (LocalEntry& entry : tree.entries) {
    if (entry.is_dir) {
      now.dirs.push_back(ManifestDir{entry.relative, entry.mode, entry.mtime_ns});
      continue;
    }
    if (entry.is_link) {
      now.links.push_back(ManifestLink{entry.relative, entry.link_target(), entry.mtime_ns});
      continue;
    }
    ManifestEntry file{Digest(), entry.size, entry.relative, entry.mtime_ns, entry.mode};
    const auto it = known.find(entry.relative);
    if (it != known.end() && it->second->size == entry.size &&
        it->second->mtime_ns == entry.mtime_ns) {
      file.sha256 = it->second->sha256;
    } else {
      FileHash hash;
      std::string hash_error;
      if (!hash_file(local_join(root, entry.relative), hash, hash_error)) {
        print_error("diff: cannot read " + local_join(root, entry.relative) + ": " + hash_error,
                    JsonObject().name("item", entry.relative));
        unread.insert(entry.relative);
        rc = exit_codes::kFailed;
        continue;
      }
      file.sha256 = hash.sha256;
      file.size = hash.size;
    }
    now.files.push_back(std::move(file));
  }
  last.files.erase(std::remove_if(last.files.begin(), last.files.end(),
                                  [&](const ManifestEntry& file) {
                                    return unread.count(file.path) != 0;
                                  }),
                   last.files.end());
  return rc;
}

void print_diff(const std::string& remote, const Side& from, const Side& to) {
  DiffCounts counts;
  const std::vector<Change> changes = diff_manifests(from.manifest, to.manifest, counts);
  if (json_output()) {
    for (const Change& change : changes) {
      print_json(JsonObject()
                     .string("message_type", "change")
                     .name("path", change.path)
                     .string("modifier", std::string(1, change.modifier)));
    }
    const auto side = [](std::size_t files, std::size_t dirs, std::size_t others,
                         std::uint64_t bytes) {
      return JsonObject()
          .number("files", files)
          .number("dirs", dirs)
          .number("others", others)
          .number("bytes", bytes)
          .str();
    };
    print_json(JsonObject()
                   .string("message_type", "statistics")
                   .string("remote", remote)
                   .name("source_snapshot", from.name)
                   .name("target_snapshot", to.name)
                   .number("changed_files", counts.changed_files)
                   .raw("added", side(counts.new_files, counts.new_dirs, counts.new_others,
                                      counts.added_bytes))
                   .raw("removed", side(counts.removed_files, counts.removed_dirs,
                                        counts.removed_others, counts.removed_bytes)));
    return;
  }
  std::printf("comparing %s to %s:\n\n", from.shown.c_str(), to.shown.c_str());
  for (const Change& change : changes) {
    std::printf("%-5c%s\n", change.modifier, change.path.c_str());
  }
  if (!changes.empty()) std::printf("\n");
  std::printf("%-13s%5zu new, %5zu removed, %5zu changed\n", "Files:", counts.new_files,
              counts.removed_files, counts.changed_files);
  std::printf("%-13s%5zu new, %5zu removed\n", "Dirs:", counts.new_dirs, counts.removed_dirs);
  std::printf("%-13s%5zu new, %5zu removed\n", "Others:", counts.new_others,
              counts.removed_others);
  std::printf("  Added:   %s\n", human_bytes(counts.added_bytes).c_str());
  std::printf("  Removed: %s\n", human_bytes(counts.removed_bytes).c_str());
}

}  // namespace

int run_snapshots(Session& session, const SnapshotsOptions& options) {
  std::vector<Point> points;
  if (const int rc = load_points(session, "snapshots", points)) return rc;
  const std::string remote = options.remote.empty() ? "" : to_storage_path(options.remote);
  std::vector<Row> rows;
  if (remote.empty()) {
    for (const Point& point : points) rows.push_back(Row{&point});
    print_snapshots(rows, remote);
    return exit_codes::kOk;
  }
  // A backup stores its manifest last: each new version of it is a backup,
  // and the first point that shows it the one the backup was completed at.
  const std::string manifest = storage_join(remote, kManifestName);
  FileVersion last;
  for (const Point& point : points) {
    const FileVersion version = file_version(session, at_point(point.name, manifest));
    if (version.found && !(version == last)) rows.push_back(Row{&point});
    last = version;
  }
  if (rows.empty()) {
    print_error("snapshots: " + remote + ": no backup among the " +
                std::to_string(points.size()) + " points of " + kHistoryFolder);
    return exit_codes::kFailed;
  }
  int rc = exit_codes::kOk;
  const ScratchFolder scratch(options.scratch_dir);
  if (scratch.path().empty()) print_notice("snapshots: no file counts: " + scratch.error());
  for (Row& row : rows) {
    if (scratch.path().empty()) break;
    Manifest read;
    std::string error;
    const std::string dir = at_point(row.point->name, remote);
    const FetchResult fetched = fetch_manifest(session, dir, scratch.path(), read, error);
    if (fetched == FetchResult::kFetched) {
      take_figures(read, row);
      continue;
    }
    if (fetched == FetchResult::kFailed && session.error_code() == kLocalPathRefused) {
      print_notice("snapshots: no file counts: " + error + scratch.refusal_advice());
      break;
    }
    print_error("snapshots: manifest " + storage_join(dir, kManifestName) + ": " +
                (fetched == FetchResult::kMissing ? std::string("not found") : error));
    rc = exit_codes::kFailed;
  }
  print_snapshots(rows, remote);
  return rc;
}

int run_diff(Session& session, const DiffOptions& options) {
  const bool local = !options.local.local_dir.empty();
  const std::vector<std::string>& args = options.args;
  if (args.empty() || (local ? args.size() != 1 : args.size() < 2 || args.size() > 3)) {
    print_error(local ? "diff --local LOCAL_DIR REMOTE: name the backup folder, one storage path"
                      : "diff FROM [TO] REMOTE: name one or two points and the backup folder");
    return exit_codes::kUsage;
  }
  const std::string& typed_remote = args.back();
  if (typed_remote.empty() || (typed_remote[0] != '\\' && typed_remote[0] != '/')) {
    print_error("diff: the last argument names the backup folder, a storage path such as \\home "
                "(got \"" + typed_remote + "\")");
    return exit_codes::kUsage;
  }
  const std::string remote = to_storage_path(typed_remote);
  // The points are told apart from mistakes before anything is asked.
  std::vector<PointSpec> specs(args.size() - 1);
  for (std::size_t i = 0; i + 1 < args.size(); ++i) {
    std::string error;
    if (!parse_point_spec(args[i], static_cast<std::int64_t>(std::time(nullptr)), specs[i],
                          error)) {
      print_error("diff: " + error);
      return exit_codes::kUsage;
    }
  }
  ScratchFolder scratch(options.scratch_dir);
  if (scratch.path().empty() && !local) {
    print_error("diff: " + scratch.error());
    return exit_codes::kFailed;
  }
  if (const int rc = session.open()) return rc;
  Side from;
  Side to;
  std::size_t problems = 0;
  if (local) {
    // As for a backup: a service narrowed by --local-root that refuses the
    // private folder may accept LOCAL_DIR for the manifest's trip.
    int status = 0;
    if (scratch.path().empty() ||
        (scratch.is_private() &&
         !local_target_accepted(session, remote,
                                local_join(scratch.path(), std::string(kManifestName) + ".probe"),
                                status))) {
      if (status != -3 && status != 0) return session.fail("diff", status);
      scratch.use(absolute_local(options.local.local_dir));
    }
    if (!read_side(session, remote, nullptr, scratch, from, problems)) return exit_codes::kFailed;
    BackupOptions walk = options.local;
    walk.remote_dir = remote;
    const int rc = read_local_side(walk, from.manifest, to);
    if (rc == exit_codes::kUsage) return rc;
    print_diff(remote, from, to);
    return problems == 0 ? rc : exit_codes::kFailed;
  }
  std::vector<Point> points;
  if (const int rc = load_points(session, "diff", points)) return rc;
  std::vector<const Point*> picked;
  for (const PointSpec& spec : specs) {
    std::string error;
    const long index = pick_point(points, spec, error);
    if (index < 0) {
      print_error("diff " + spec.text + ": " + error);
      return exit_codes::kFailed;
    }
    picked.push_back(&points[static_cast<std::size_t>(index)]);
  }
  if (!read_side(session, remote, picked[0], scratch, from, problems) ||
      !read_side(session, remote, picked.size() > 1 ? picked[1] : nullptr, scratch, to,
                 problems)) {
    return exit_codes::kFailed;
  }
  print_diff(remote, from, to);
  return problems == 0 ? exit_codes::kOk : exit_codes::kFailed;
}
