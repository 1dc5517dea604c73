#include "cli/commands/inspect_commands.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <list>
#include <set>
#include <vector>

#include "cli/exit_codes.h"
#include "cli/local/local_path.h"
#include "cli/local/scratch_folder.h"
#include "cli/manifest/manifest_store.h"
#include "cli/manifest/real_names.h"
#include "cli/output/json_text.h"
#include "cli/output/output.h"
#include "cli/output/units.h"
#include "cli/remote/backup_root.h"
#include "cli/remote/history.h"
#include "cli/remote/remote_tree.h"
#include "cli/remote/storage_path.h"
#include "cli/text.h"

namespace {

// What getfileinfo tells about one entry. The cloud back end leaves the
// backup type and reversion untouched: INT_MIN marks that.
struct EntryInfo {
  std::string path;  // as stored
  bool is_dir = false;
  std::string real{};  // with the real names of encoded ones; empty: as stored
  bool known = false;  // getfileinfo succeeded
  WIN32_FILE_ATTRIBUTE_DATA data{};
  int backup_type = INT_MIN;
  int reversion = INT_MIN;

  std::uint64_t size() const { return join_halves(data.nFileSizeHigh, data.nFileSizeLow); }
};

int file_info(Session& session, EntryInfo& info) {
  const int status = session.client().getfileinfo(widen(info.path).c_str(), info.data,
                                                   info.backup_type, info.reversion);
  info.known = status == 0;
  return status;
}

std::string json_number(long long value, bool known) {
  return known ? std::to_string(value) : std::string("null");
}

std::string json_time(const FILETIME& time) {
  const std::string iso = filetime_iso8601(time, false);
  return iso.empty() ? std::string("null") : json_string(iso);
}

// The path as shown: below a point (`top`, "\.history\<point>"), the path
// in the tree of that point.
std::string shown_path(const EntryInfo& info, const std::string& top, bool stored = false) {
  const std::string& path = stored || info.real.empty() ? info.path : info.real;
  if (top.empty() || path.compare(0, top.size(), top) != 0) return path;
  return path.size() == top.size() ? std::string("\\") : path.substr(top.size());
}

// The fields of one entry; the type only where a listing told it (file
// information does not).
JsonObject json_entry(const EntryInfo& info, bool with_type, const std::string& top = "") {
  JsonObject entry;
  entry.name("path", shown_path(info, top));
  if (!info.real.empty() && info.real != info.path) {
    entry.string("stored_path", shown_path(info, top, true));
  }
  if (with_type) entry.string("type", info.is_dir ? "directory" : "file");
  if (!info.known) return entry;
  return entry.number("size", info.size())
      .raw("created", json_time(info.data.ftCreationTime))
      .raw("modified", json_time(info.data.ftLastWriteTime))
      .raw("backup_type", json_number(info.backup_type, info.backup_type != INT_MIN))
      .raw("reversion", json_number(info.reversion, info.reversion != INT_MIN));
}

// As printed: a control character of a real name as '?', as `ls -q` does,
// so that each entry stays one line (--json gives the exact bytes).
std::string display_path(const EntryInfo& info, const std::string& top) {
  std::string path = shown_path(info, top);
  for (char& c : path) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  const bool mark = info.is_dir && !path.empty() && path.back() != '\\';
  return path + (mark ? "\\" : "");
}

// "<size> <local ISO 8601 time> <reversion> <path>"; '-' where unknown.
std::string long_line(const EntryInfo& info, const std::string& top) {
  const std::string time = info.known ? filetime_iso8601(info.data.ftLastWriteTime, true) : "";
  char text[96];
  std::snprintf(text, sizeof(text), "%12s  %-25s  %4s  ",
                info.known ? std::to_string(info.size()).c_str() : "-",
                time.empty() ? "-" : time.c_str(),
                info.known && info.reversion != INT_MIN ? std::to_string(info.reversion).c_str()
                                                        : "-");
  return text + display_path(info, top);
}

// The entries below `path`, or `path` itself when it names a file.
int list_entries(Session& session, const std::string& path, bool recursive,
                 std::vector<EntryInfo>& entries) {
  std::list<_path_buffer*> listing;
  const int status = session.client().getfilelist(widen(path).c_str(), recursive, listing);
  for (const _path_buffer* entry : listing) {
    if (entry) entries.push_back(EntryInfo{narrow(entry->full_path), entry->is_dir == 1});
  }
  session.client().releasefilelist(listing);
  if (status != 0 && entry_kind(session, path) == EntryKind::kFile) {
    entries.assign(1, EntryInfo{path, false});
    return 0;
  }
  std::sort(entries.begin(), entries.end(),
            [](const EntryInfo& a, const EntryInfo& b) { return a.path < b.path; });
  return status;
}

// The backup each encoded name lies in: the nearest folder above it whose
// manifest the listing shows, else the nearest one above the listed path.
std::set<std::string> backups_of_encoded(Session& session, const std::string& listed,
                                         const std::vector<EntryInfo>& entries) {
  const std::string suffix = std::string("\\") + kManifestName;
  std::set<std::string> listed_roots;
  for (const EntryInfo& entry : entries) {
    const std::string& path = entry.path;
    if (!entry.is_dir && path.size() >= suffix.size() &&
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
      listed_roots.insert(path.size() == suffix.size() ? std::string("\\")
                                                       : path.substr(0, path.size() - suffix.size()));
    }
  }
  std::set<std::string> roots;
  bool above_listed = false;
  for (const EntryInfo& entry : entries) {
    if (!holds_encoded_name(entry.path)) continue;
    std::string nearest;
    for (const std::string& root : listed_roots) {
      const std::size_t size = root == "\\" ? 0 : root.size();
      if (entry.path.size() > size && entry.path.compare(0, size, root, 0, size) == 0 &&
          entry.path[size] == '\\' && root.size() >= nearest.size()) {
        nearest = root;
      }
    }
    if (nearest.empty()) {
      above_listed = true;
    } else {
      roots.insert(nearest);
    }
  }
  if (above_listed) {
    const std::string root = nearest_backup_root(session, listed);
    if (!root.empty()) roots.insert(root);
  }
  return roots;
}

// Fills each entry's real path from the manifests of the backups its
// encoded names lie in; asks nothing when no name is encoded. A manifest
// that cannot be fetched leaves its names as stored, with a notice.
void find_real_names(Session& session, const std::string& listed, const std::string& scratch_dir,
                     std::vector<EntryInfo>& entries) {
  const std::set<std::string> roots = backups_of_encoded(session, listed, entries);
  if (roots.empty()) return;
  RealNames names;
  const ScratchFolder scratch(scratch_dir);
  for (const std::string& root : roots) {
    Manifest manifest;
    std::string error;
    if (scratch.path().empty()) {
      error = scratch.error();
    } else {
      switch (fetch_manifest(session, root, scratch.path(), manifest, error)) {
        case FetchResult::kFetched: names.add(root, manifest); continue;
        case FetchResult::kMissing: continue;
        case FetchResult::kFailed:
          if (session.error_code() == kLocalPathRefused) error += scratch.refusal_advice();
      }
    }
    print_notice("ls: encoded names below " + root + " are shown as stored: its manifest "
                 "could not be read: " + error);
  }
  for (EntryInfo& entry : entries) entry.real = names.real_path(entry.path);
  std::sort(entries.begin(), entries.end(), [](const EntryInfo& a, const EntryInfo& b) {
    return a.real < b.real;
  });
}

}  // namespace

int run_ls(Session& session, const std::string& typed, const ListOptions& options) {
  if (const int rc = session.open()) return rc;
  const std::string path = to_storage_path(typed);
  const std::string top = options.point.empty() ? std::string() : at_point(options.point, "\\");
  const std::string listed = options.point.empty() ? path : at_point(options.point, path);
  std::vector<EntryInfo> entries;
  if (const int status = list_entries(session, listed, options.recursive, entries)) {
    return session.fail_lookup("ls " + listed, status, listed);
  }
  // The folder of earlier versions belongs to no backup: shown when asked
  // for (--all, or a path in it) only.
  if (!options.all && !in_history(listed)) {
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [](const EntryInfo& entry) { return in_history(entry.path); }),
                  entries.end());
  }
  if (!options.stored) find_real_names(session, listed, options.scratch_dir, entries);
  if (options.long_format || options.json) {
    for (EntryInfo& entry : entries) file_info(session, entry);
  }
  if (options.json) {  // one line, as every --json output
    std::string array = "[";
    for (const EntryInfo& entry : entries) {
      if (array.size() > 1) array += ",";
      array += json_entry(entry, true, top).str();
    }
    JsonObject result;
    result.string("path", path);
    if (!options.point.empty()) result.string("point", options.point);
    print_json(result.raw("entries", array + "]"));
    return exit_codes::kOk;
  }
  for (const EntryInfo& entry : entries) {
    std::printf("%s\n",
                (options.long_format ? long_line(entry, top) : display_path(entry, top)).c_str());
  }
  return exit_codes::kOk;
}

int run_stat(Session& session, const std::string& typed, bool json) {
  if (const int rc = session.open()) return rc;
  EntryInfo info{to_storage_path(typed)};
  const int status = file_info(session, info);
  if (status != 0) return session.fail_lookup("stat " + info.path, status, info.path);
  if (json) {
    print_json(json_entry(info, false));
    return exit_codes::kOk;
  }
  const auto number = [](int value) {
    return value == INT_MIN ? std::string("n/a") : std::to_string(value);
  };
  std::printf("path:        %s\n", info.path.c_str());
  std::printf("size:        %llu bytes\n", static_cast<unsigned long long>(info.size()));
  std::printf("created:     %s\n", filetime_text(info.data.ftCreationTime).c_str());
  std::printf("modified:    %s\n", filetime_text(info.data.ftLastWriteTime).c_str());
  std::printf("backup type: %s\n", number(info.backup_type).c_str());
  std::printf("reversion:   %s\n", number(info.reversion).c_str());
  return exit_codes::kOk;
}

int run_exists(Session& session, const std::string& typed) {
  if (const int rc = session.open()) return rc;
  const std::string path = to_storage_path(typed);
  const bool exists = session.client().is_path_exists(widen(path).c_str());
  print_result(path + (exists ? " exists" : " does not exist"),
               JsonObject().string("path", path).boolean("exists", exists));
  if (!exists) session.explain_missing("exists " + path + ": not found", path);
  return exists ? exit_codes::kOk : exit_codes::kFailed;
}

int run_df(Session& session) {
  if (const int rc = session.open()) return rc;
  // The local service back end answers 0 without touching the outputs.
  std::int64_t used = -1;
  std::int64_t free = -1;
  const int status = session.client().get_spaceinfo(used, free, 1 | 2);
  if (status != 0) return session.fail("df", status);
  if (used < 0 && free < 0) {
    print_error("df: not available on this back end");
    return exit_codes::kFailed;
  }
  if (json_output()) {
    const auto figure = [](std::int64_t bytes) {
      return bytes < 0 ? std::string("null") : std::to_string(bytes);
    };
    print_json(JsonObject().raw("used", figure(used)).raw("free", figure(free)));
    return exit_codes::kOk;
  }
  const auto amount = [](std::int64_t bytes) {
    return bytes < 0 ? std::string("not available")
                     : std::to_string(bytes) + " bytes (" +
                           human_bytes(static_cast<std::uint64_t>(bytes)) + ")";
  };
  std::printf("used: %s\n", amount(used).c_str());
  std::printf("free: %s\n", amount(free).c_str());
  return exit_codes::kOk;
}
