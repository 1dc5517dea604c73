#include "cli/commands/find_command.h"

#include <algorithm>
#include <cstdio>
#include <list>
#include <optional>
#include <vector>

#include "cli/exit_codes.h"
#include "cli/local/local_path.h"
#include "cli/local/scratch_folder.h"
#include "cli/manifest/manifest_store.h"
#include "cli/manifest/path_pattern.h"
#include "cli/output/output.h"
#include "cli/output/units.h"
#include "cli/remote/history.h"
#include "cli/remote/storage_path.h"
#include "cli/text.h"

namespace {


struct Match {
  std::string path;  // "/docs/a.txt", a folder's ending in '/'
  char type = '-';   // '-' file, 'd' folder, 'l' symbolic link
  std::optional<std::uint64_t> size;
  std::int64_t mtime_ns = kUnknownTime;
  int mode = kUnknownMode;
  std::string target{};  // a link's
};

// "-rw-r--r--" as ls writes it; '?' for each bit of an unknown mode.
std::string permissions(char type, int mode) {
  std::string text(1, type);
  if (mode == kUnknownMode) return text + "?????????";
  static const char kLetters[] = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) text += (mode & (0400 >> bit)) ? kLetters[bit] : '-';
  if (mode & 04000) text[3] = (mode & 0100) ? 's' : 'S';
  if (mode & 02000) text[6] = (mode & 0010) ? 's' : 'S';
  if (mode & 01000) text[9] = (mode & 0001) ? 't' : 'T';
  return text;
}

// Nanoseconds since 1970 as a FILETIME; nullopt when unknown or before 1601.
std::optional<FILETIME> filetime_of(std::int64_t ns) {
  if (ns == kUnknownTime) return std::nullopt;
  const std::int64_t ticks = ns / 100 - (ns % 100 < 0 ? 1 : 0) + 116444736000000000ll;
  if (ticks < 0) return std::nullopt;
  const auto value = static_cast<std::uint64_t>(ticks);
  return FILETIME{static_cast<DWORD>(value & 0xffffffffu), static_cast<DWORD>(value >> 32)};
}

std::string local_text(std::int64_t ns) {
  if (ns == kUnknownTime) return "-";
  return local_time_text(ns / 1000000000 - (ns % 1000000000 < 0 ? 1 : 0));
}

std::vector<Match> matches_of(const Manifest& manifest, const PathPattern& pattern) {
  std::vector<Match> out;
  for (const ManifestDir& dir : manifest.dirs) {
    if (dir.path == "." || !pattern.matches(dir.path, true)) continue;
    out.push_back(Match{"/" + dir.path + "/", 'd', std::nullopt, dir.mtime_ns, dir.mode});
  }
  for (const ManifestEntry& file : manifest.files) {
    if (!pattern.matches(file.path, false)) continue;
    std::optional<std::uint64_t> size;
    if (!(file.lost & kLostSize)) size = file.size;
    out.push_back(Match{"/" + file.path, '-', size, file.mtime_ns, file.mode});
  }
  for (const ManifestLink& link : manifest.links) {
    if (!pattern.matches(link.path, false)) continue;
    out.push_back(Match{"/" + link.path, 'l', std::nullopt, link.mtime_ns, 0777, link.target});
  }
  std::sort(out.begin(), out.end(),
            [](const Match& a, const Match& b) { return a.path < b.path; });
  return out;
}

// A control character as '?', so that each entry stays one line (--json
// gives the exact bytes).
std::string printable(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

void print_matches(const std::string& backup, const Point& point,
                   const std::vector<Match>& matches) {
  if (json_output()) {
    std::string array = "[";
    for (const Match& match : matches) {
      const std::optional<FILETIME> time = filetime_of(match.mtime_ns);
      const std::string iso = time ? filetime_iso8601(*time, false) : std::string();
      JsonObject entry;
      entry.name("path", match.path)
          .string("type", match.type == 'd' ? "dir" : match.type == 'l' ? "symlink" : "file")
          .raw("size", match.size ? std::to_string(*match.size) : "null")
          .raw("mtime", iso.empty() ? "null" : json_string(iso))
          .string("permissions", permissions(match.type, match.mode));
      if (match.type == 'l') entry.name("target", match.target);
      array += (array.size() > 1 ? "," : "") + entry.str();
    }
    print_json(JsonObject()
                   .string("remote", backup)
                   .string("point", point.name)
                   .string("time", filetime_iso8601(*filetime_of(point.time * 1000000000), false))
                   .number("hits", matches.size())
                   .raw("matches", array + "]"));
    return;
  }
  std::printf("Found matching entries in %s at %s (%s)\n", backup.c_str(), point.name.c_str(),
              local_time_text(point.time).c_str());
  for (const Match& match : matches) {
    std::printf("%s  %12s  %-19s  %s%s\n", permissions(match.type, match.mode).c_str(),
                match.size ? std::to_string(*match.size).c_str() : "-",
                local_text(match.mtime_ns).c_str(), printable(match.path).c_str(),
                match.type == 'l' ? (" -> " + printable(match.target)).c_str() : "");
  }
  std::printf("\n");
}

// The backup folders the storage holds now: those holding a manifest, from
// one recursive listing of the top ("\.history" left out).
int list_backups(Session& session, std::vector<std::string>& backups) {
  std::list<_path_buffer*> listing;
  const int status = session.client().getfilelist(L"\\", true, listing);
  const std::string suffix = std::string("\\") + kManifestName;
  for (const _path_buffer* entry : listing) {
    if (entry == nullptr || entry->is_dir == 1) continue;
    const std::string path = narrow(entry->full_path);
    if (in_history(path) || path.size() < suffix.size() ||
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    backups.push_back(path.size() == suffix.size() ? std::string("\\")
                                                   : path.substr(0, path.size() - suffix.size()));
  }
  session.client().releasefilelist(listing);
  std::sort(backups.begin(), backups.end());
  return status;
}

}  // namespace

int run_find(Session& session, const FindOptions& options) {
  std::vector<Point> points;
  if (const int rc = load_points(session, "find", points)) return rc;
  std::vector<std::string> backups;
  if (!options.remote.empty()) {
    backups.push_back(to_storage_path(options.remote));
  } else if (const int status = list_backups(session, backups)) {
    return session.fail("find: ls \\", status);
  }
  const PathPattern pattern(options.pattern, options.ignore_case);
  const ScratchFolder scratch_folder(options.scratch_dir);
  if (scratch_folder.path().empty()) {
    print_error("find: " + scratch_folder.error());
    return exit_codes::kFailed;
  }
  const std::string& scratch = scratch_folder.path();
  int rc = exit_codes::kOk;
  std::size_t hits = 0;
  std::size_t searched = 0;  // manifests read
  for (const std::string& backup : backups) {
    // A backup stores its manifest last: each new version of it is a
    // backup, and the first point that shows it the one it was completed at.
    const std::string manifest_path = storage_join(backup, kManifestName);
    FileVersion last;
    for (const Point& point : points) {
      const FileVersion version = file_version(session, at_point(point.name, manifest_path));
      const bool new_backup = version.found && !(version == last);
      last = version;
      if (!new_backup) continue;
      Manifest manifest;
      std::string error;
      const std::string dir = at_point(point.name, backup);
      const FetchResult fetched = fetch_manifest(session, dir, scratch, manifest, error);
      if (fetched != FetchResult::kFetched) {
        const bool refused =
            fetched == FetchResult::kFailed && session.error_code() == kLocalPathRefused;
        print_error("find: manifest " + storage_join(dir, kManifestName) + ": " +
                    (fetched == FetchResult::kMissing ? std::string("not found") : error) +
                    (refused ? scratch_folder.refusal_advice() : std::string()));
        if (refused) return exit_codes::kFailed;
        rc = exit_codes::kFailed;
        continue;
      }
      ++searched;
      if (!manifest.problems.empty()) {
        print_notice("find: " + std::to_string(manifest.problems.size()) + " lines of the "
                     "manifest of " + backup + " at " + point.name +
                     " cannot be read; their entries are not searched");
      }
      const std::vector<Match> matches = matches_of(manifest, pattern);
      if (matches.empty()) continue;
      hits += matches.size();
      print_matches(backup, point, matches);
    }
  }
  if (searched == 0 && rc == exit_codes::kOk) {
    print_error("find: " + (options.remote.empty() ? std::string("the storage holds no backup")
                                                   : "no backup of " + backups.front()) +
                " among the " + std::to_string(points.size()) + " points of " + kHistoryFolder);
    return exit_codes::kFailed;
  }
  if (hits == 0) {
    print_error("find: no entry matches " + options.pattern + " in " + std::to_string(searched) +
                " backups");
    return exit_codes::kFailed;
  }
  return rc;
}
