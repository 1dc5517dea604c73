#include "cli/commands/restore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "cli/commands/transfer_commands.h"
#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "cli/local/local_path.h"
#include "cli/local/local_target_check.h"
#include "cli/local/local_tree.h"
#include "cli/local/restore_target.h"
#include "cli/manifest/manifest_store.h"
#include "cli/manifest/stored_name.h"
#include "cli/manifest/verify.h"
#include "cli/output/output.h"
#include "cli/output/status.h"
#include "cli/output/units.h"
#include "cli/remote/backup_root.h"
#include "cli/remote/history.h"
#include "cli/remote/parallel_sessions.h"
#include "cli/remote/remote_tree.h"
#include "cli/remote/storage_path.h"
#include "cli/text.h"

namespace fs = std::filesystem;

namespace {

// Why a manifest path cannot be restored, or empty when it can: it must stay
// below the target (the manifest may have been changed by anyone with the
// account). Any other name Linux allows is restored byte for byte; a NUL
// would cut it short.
std::string path_problem(const std::string& path) {
  if (!is_safe_relative(path)) return "unsafe path";
  if (path.find('\0') != std::string::npos) return "name holds a NUL byte";
  return std::string();
}

// The order to restore `files` in: the first file of each folder, then the
// second of each, and so on. Clients that write into one folder at once take
// turns at its lock; dealt out across folders, they seldom meet.
std::vector<std::size_t> spread_over_folders(const std::vector<ManifestEntry>& files) {
  std::unordered_map<std::string_view, std::size_t> seen;  // folder -> files so far
  std::vector<std::size_t> rank(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string_view path = files[i].path;
    const std::size_t slash = path.rfind('/');
    rank[i] = seen[slash == std::string_view::npos ? std::string_view() : path.substr(0, slash)]++;
  }
  std::vector<std::size_t> order(files.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return rank[a] < rank[b]; });
  return order;
}

class Restore {
 public:
  Restore(Session& session, ProgressMode mode, const RestoreOptions& options)
      : session_(session), mode_(mode), options_(options),
        remote_root_(to_storage_path(options.remote_dir)),
        local_root_(absolute_local(options.local_dir)),
        started_(std::chrono::steady_clock::now()) {}

  int run();

 private:
  int restore_from_listing();
  bool select(const std::string& backup_root, bool is_directory);
  int transfer(std::vector<ManifestEntry>& files, const std::vector<std::size_t>& order);
  bool transfer_in_parallel(std::vector<ManifestEntry>& files,
                            const std::vector<std::size_t>& order);
  std::vector<std::size_t> make_hard_links(std::vector<ManifestEntry>& files,
                                           const std::vector<std::size_t>& linked);
  void make_symlinks();
  JobOutcome restore_file(Session& session, const ManifestEntry& entry, std::size_t slot);
  void make_directories(const std::vector<std::string>& relatives);
  bool blocked(const std::string& relative) const;
  int mode_to_set(int mode);
  void note_lost(const std::string& path, unsigned lost, std::size_t line);
  void apply_directory_metadata();
  void print_json_summary(const char* state, int exit_code);
  [[noreturn]] void stop_interrupted();

  Session& session_;
  ProgressMode mode_;
  const RestoreOptions& options_;
  const std::string remote_root_;
  const std::string local_root_;
  const std::chrono::steady_clock::time_point started_;
  std::size_t total_files_ = 0;    // the files to restore
  std::uint64_t total_bytes_ = 0;  // their sizes (unknown without a manifest: 0)
  // The storage directory the entries' paths are relative to: remote_root_,
  // or the folder of the file or link it names.
  std::string entries_root_ = remote_root_;
  bool root_made_ = false;  // the target did not exist before
  // No manifest: nothing to verify against, and the paths are the stored
  // names.
  bool from_listing_ = false;
  RestoreTarget target_;
  Manifest manifest_;
  // Folders that could not be made or are links: nothing below is written.
  std::vector<std::string> blocked_;
  std::unique_ptr<Progress> progress_;
  std::mutex mutex_;
  std::size_t failed_ = 0;
  std::size_t mismatched_ = 0;
  std::size_t restored_ = 0;
  std::size_t special_ = 0;  // entries whose setuid, setgid or sticky bit was left out
  std::set<std::string> not_restored_;  // files that failed: no hard link is made of them
  std::size_t symlinks_ = 0;
  std::size_t hard_links_ = 0;
  // Entries restored without metadata that damaged manifest lines lost.
  std::size_t metadata_lost_ = 0;
  unsigned lost_kinds_ = 0;  // LostMetadata bits of all of them
  bool connection_lost_ = false;
};

// Keeps of the manifest of the backup in `backup_root` what lies at or
// below `remote_root_`, with paths relative to it (a file: its name alone),
// so that a part of a backup comes back as the backup holds it. False when
// the manifest lists nothing there.
bool Restore::select(const std::string& backup_root, bool is_directory) {
  const std::optional<std::string> prefix = storage_relative(remote_root_, backup_root);
  if (!prefix || prefix->empty()) return true;
  const auto depth = static_cast<std::size_t>(std::count(prefix->begin(), prefix->end(), '/')) + 1;
  // The path below the prefix ("" for the prefix itself), or nullopt when
  // `path` is not at or below it; a file keeps its name.
  const auto below = [&](const std::string& path) -> std::optional<std::string> {
    std::size_t end = 0;  // after the first `depth` components
    for (std::size_t i = 0, from = 0; i < depth; ++i, from = end + 1) {
      if (from > path.size()) return std::nullopt;
      end = std::min(path.find('/', from), path.size());
    }
    if (stored_relative(std::string_view(path).substr(0, end)) != *prefix) return std::nullopt;
    if (end == path.size()) return is_directory ? std::string() : local_basename(path);
    if (!is_directory) return std::nullopt;
    return path.substr(end + 1);
  };
  Manifest kept;
  kept.incomplete = manifest_.incomplete;
  kept.problems = std::move(manifest_.problems);
  for (ManifestDir& dir : manifest_.dirs) {
    if (!is_directory || dir.path == ".") continue;
    if (const std::optional<std::string> path = below(dir.path)) {
      dir.path = path->empty() ? "." : *path;
      kept.dirs.push_back(std::move(dir));
    }
  }
  // The names of one file that lie in the part stay one file: the first of
  // them restored becomes the one the others link to, also when the name
  // the backup met first lies outside.
  std::unordered_map<std::string, std::string> linked_to;  // a name -> the earlier one
  for (const ManifestEntry& file : manifest_.files) {
    if (!file.hardlink_to().empty()) linked_to.emplace(file.path, file.hardlink_to());
  }
  const auto first_name = [&](std::string path) {
    // A changed manifest may chain names or make a loop: at most one hop a name.
    for (std::size_t hops = 0; hops < linked_to.size(); ++hops) {
      const auto it = linked_to.find(path);
      if (it == linked_to.end()) break;
      path = it->second;
    }
    return path;
  };
  std::unordered_map<std::string, std::string> kept_name;  // first name -> its name kept
  for (ManifestEntry& file : manifest_.files) {
    const std::optional<std::string> path = below(file.path);
    if (!path || path->empty()) continue;
    file.set_hardlink_to(std::string());
    if (is_directory) {
      const auto [it, first] = kept_name.emplace(first_name(file.path), *path);
      if (!first) file.set_hardlink_to(it->second);
    }
    file.path = *path;
    kept.files.push_back(std::move(file));
  }
  for (ManifestLink& link : manifest_.links) {
    const std::optional<std::string> path = below(link.path);
    if (!path || path->empty()) continue;
    link.path = *path;
    kept.links.push_back(std::move(link));
  }
  manifest_ = std::move(kept);
  if (!is_directory) entries_root_ = storage_parent(remote_root_);  // the file's or link's folder
  return !manifest_.dirs.empty() || !manifest_.files.empty() || !manifest_.links.empty();
}

int Restore::run() {
  if (const int rc = session_.open()) return rc;
  const EntryKind kind = entry_kind(session_, remote_root_);
  const bool is_directory = kind == EntryKind::kDirectory;
  // A part of a backup (a folder, a file, or a link, which the storage does
  // not hold) comes from the backup's manifest, not from a listing. A
  // folder's own manifest is looked for first (below), the enclosing
  // backup's only when it has none.
  std::string backup_root;
  if (!is_directory) {
    backup_root = nearest_backup_root(session_, storage_parent(remote_root_));
    if (backup_root.empty() && kind == EntryKind::kFile) {
      return run_get(session_, mode_, remote_root_, options_.local_dir + "/");
    }
    if (backup_root.empty()) {
      if (!session_.explain_missing("restore: " + remote_root_ + ": not found", remote_root_)) {
        print_error("restore: " + remote_root_ + ": not found in the storage");
      }
      return exit_codes::kFailed;
    }
  }
  if (const int rc = check_local_target(session_, "restore", remote_root_,
                                        local_join(local_root_, std::string(kManifestName) + ".probe"))) {
    return rc;
  }
  std::error_code error;
  root_made_ = !fs::exists(local_root_, error);
  fs::create_directories(local_root_, error);
  std::string open_error;
  if (error || !target_.open(local_root_, open_error)) {
    print_error("restore: cannot create " + local_root_ + ": " +
                (error ? error.message() : open_error));
    return exit_codes::kFailed;
  }
  std::string fetch_error;
  std::string manifest_root = is_directory ? remote_root_ : backup_root;
  FetchResult fetched =
      fetch_manifest(session_, manifest_root, local_root_, manifest_, fetch_error);
  if (fetched == FetchResult::kMissing && is_directory && remote_root_ != tree_top(remote_root_)) {
    manifest_root = nearest_backup_root(session_, storage_parent(remote_root_));
    if (!manifest_root.empty()) {
      fetched = fetch_manifest(session_, manifest_root, local_root_, manifest_, fetch_error);
    }
  }
  switch (fetched) {
    case FetchResult::kFetched: break;
    case FetchResult::kMissing:
      if (is_directory) return restore_from_listing();
      fetch_error = "not found";
      [[fallthrough]];
    case FetchResult::kFailed:
      print_error("restore: manifest " + storage_join(manifest_root, kManifestName) + ": " +
                  fetch_error);
      return exit_codes::kFailed;
  }
  if (!select(manifest_root, is_directory)) {
    print_error("restore: " + remote_root_ + " is not in the last backup of " + manifest_root +
                "; nothing restored");
    if (root_made_) fs::remove(local_root_, error);  // the target made for it, still empty
    return exit_codes::kFailed;
  }
  // A manifest lives in the storage, where it may have been changed: the
  // lines that cannot be read are reported and the others restored.
  failed_ += report_manifest_problems("restore", manifest_);
  if (manifest_.incomplete) {
    print_notice("restore: the backup in " + remote_root_ +
                 " was stopped before its end; restoring the files it holds");
  }
  // Paths that would leave the restore directory are never created.
  std::vector<std::string> dirs;
  std::vector<ManifestDir> kept_dirs;
  for (ManifestDir& dir : manifest_.dirs) {
    const std::string problem = dir.path == "." ? std::string() : path_problem(dir.path);
    if (!problem.empty()) {
      print_error("restore: skipped directory " + dir.path + ": " + problem,
                  JsonObject().name("item", dir.path));
      ++failed_;
      continue;
    }
    if (dir.path != ".") dirs.push_back(dir.path);
    kept_dirs.push_back(std::move(dir));
  }
  manifest_.dirs = std::move(kept_dirs);
  // The files to restore, kept in place: a manifest's files are held once.
  std::vector<ManifestEntry> files = std::move(manifest_.files);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    ManifestEntry& entry = files[i];
    const std::string problem = path_problem(entry.path);
    if (!problem.empty()) {
      print_error("restore: skipped " + entry.path + ": " + problem,
                  JsonObject().name("item", entry.path));
      ++failed_;
      continue;
    }
    // Files come folder by folder: a folder is noted once per run of them.
    std::string parent = fs::path(entry.path).parent_path().string();
    if (dirs.empty() || dirs.back() != parent) dirs.push_back(std::move(parent));
    if (kept != i) files[kept] = std::move(entry);
    ++kept;
  }
  files.resize(kept);
  std::vector<ManifestLink> links;
  for (ManifestLink& link : manifest_.links) {
    const std::string problem = path_problem(link.path);
    if (!problem.empty() || link.target.find('\0') != std::string::npos) {
      print_error("restore: skipped link " + link.path + ": " +
                      (problem.empty() ? "target holds a NUL byte" : problem),
                  JsonObject().name("item", link.path));
      ++failed_;
      continue;
    }
    dirs.push_back(fs::path(link.path).parent_path().string());
    links.push_back(std::move(link));
  }
  manifest_.links = std::move(links);
  make_directories(dirs);
  return transfer(files, spread_over_folders(files));
}

// Downloads `files` in `order`; false when the connection broke.
bool Restore::transfer_in_parallel(std::vector<ManifestEntry>& files,
                                   const std::vector<std::size_t>& order) {
  const RunEnd end =
      run_in_parallel(session_, session_.cloud() ? 1 : options_.transfers, order.size(),
                      [&](Session& session, std::size_t index, std::size_t slot) {
                        return restore_file(session, files[order[index]], slot);
                      });
  if (end == RunEnd::kInterrupted) stop_interrupted();
  return !connection_lost_;
}

// Makes the files of `linked` hard links of the files they name; returns
// those that must be downloaded instead (their first name was not restored).
std::vector<std::size_t> Restore::make_hard_links(std::vector<ManifestEntry>& files,
                                                  const std::vector<std::size_t>& linked) {
  std::vector<std::size_t> download;
  for (const std::size_t index : linked) {
    const ManifestEntry& entry = files[index];
    std::string error;
    if (not_restored_.count(entry.hardlink_to()) != 0 || blocked(entry.path) ||
        !target_.may_write_file(entry.path, error) ||
        !target_.make_hard_link(entry.hardlink_to(), entry.path, error)) {
      download.push_back(index);
      continue;
    }
    ++hard_links_;
    ++restored_;
    note_lost(entry.path, entry.lost, entry.damaged_line());
    if (options_.verify) {
      const std::string mismatch = verify_file(local_join(local_root_, entry.path), entry);
      if (!mismatch.empty()) {
        progress_->error("verify: " + mismatch, entry.path);
        ++mismatched_;
      }
    }
  }
  return download;
}

// Makes the manifest's symbolic links, after the files: none of them is
// ever followed by this restore.
void Restore::make_symlinks() {
  for (const ManifestLink& link : manifest_.links) {
    std::string error;
    if (blocked(link.path)) {
      ++failed_;
      continue;
    }
    if (!target_.make_symlink(link.path, link.target, link.mtime_ns, error)) {
      progress_->error("restore: link " + link.path + ": " + error, link.path);
      ++failed_;
      continue;
    }
    ++symlinks_;
    note_lost(link.path, link.lost, link.damaged_line);
  }
}

// Restores `files` in `order` (a hard link of a file in the backup as a
// link to it, after the files), then the symbolic links, then the
// directories' modes and times.
int Restore::transfer(std::vector<ManifestEntry>& files, const std::vector<std::size_t>& order) {
  std::uint64_t bytes = 0;
  for (const ManifestEntry& entry : files) bytes += entry.size;
  // A hard link is made of a file downloaded in the first round only (a
  // backup names such a file; a changed manifest may name any).
  // Their paths, sorted, are gathered only when there are hard links.
  std::vector<std::string_view> paths;
  if (std::any_of(files.begin(), files.end(),
                  [](const ManifestEntry& entry) { return !entry.hardlink_to().empty(); })) {
    for (const ManifestEntry& entry : files) {
      if (entry.hardlink_to().empty()) paths.push_back(entry.path);
    }
    std::sort(paths.begin(), paths.end());
  }
  std::vector<std::size_t> plain;
  std::vector<std::size_t> linked;
  for (const std::size_t index : order) {
    const std::string& to = files[index].hardlink_to();
    (!to.empty() && std::binary_search(paths.begin(), paths.end(), std::string_view(to))
         ? linked
         : plain)
        .push_back(index);
  }
  total_files_ = files.size();
  total_bytes_ = bytes;
  progress_ = std::make_unique<Progress>(mode_, options_.transfers);
  progress_->start_job(files.size(), bytes);
  if (!transfer_in_parallel(files, plain) ||
      !transfer_in_parallel(files, make_hard_links(files, linked))) {
    progress_->close();
    if (json_output()) print_json_summary("connection_lost", exit_codes::kNoSession);
    return exit_codes::kNoSession;
  }
  make_symlinks();
  apply_directory_metadata();
  progress_->close();
  if (special_ > 0) {
    print_notice("restore: " + std::to_string(special_) + " entries restored without their "
                 "setuid, setgid or sticky bits (--special-bits keeps them)");
  }
  bool verified = failed_ == 0 && mismatched_ == 0;
  if (options_.verify && from_listing_) {
    print_error("restore: " + remote_root_ + " holds no manifest; nothing to verify against");
    verified = false;
  }
  // Every entry back, some without metadata the manifest lost: a partial
  // success, which exits as a partial failure does.
  const bool partial = verified && metadata_lost_ > 0;
  const int rc = verified && !partial ? exit_codes::kOk : exit_codes::kFailed;
  if (json_output()) {
    print_json_summary(rc == exit_codes::kOk ? "done" : partial ? "partial" : "failed", rc);
    return rc;
  }
  std::printf("restore: %s -> %s: %zu files (%s), %zu failed", remote_root_.c_str(),
              local_root_.c_str(), files.size(), human_bytes(bytes).c_str(), failed_);
  if (metadata_lost_ > 0) {
    std::printf(", %zu restored without metadata of damaged manifest lines (%s)", metadata_lost_,
                lost_metadata_text(lost_kinds_).c_str());
  }
  std::printf("\n");
  if (hard_links_ + symlinks_ > 0) {
    std::printf("restore: %zu of the files as hard links, %zu symbolic links\n", hard_links_,
                symlinks_);
  }
  if (options_.verify && !from_listing_) {
    if (mismatched_ == 0 && failed_ == 0) {
      std::printf("verify: all %zu files match the manifest\n", files.size());
    } else if (mismatched_ == 0) {
      // Files that did not come back were not verified: never "all match".
      std::printf("verify: the %zu files restored match the manifest; %zu not restored\n",
                  files.size() - std::min(failed_, files.size()), failed_);
    } else {
      std::printf("verify: %zu problems in %zu files\n", mismatched_, files.size());
    }
  }
  return rc;
}

// ["size","mtime","mode"]: the fields `lost` names.
std::string lost_fields_json(unsigned lost) {
  std::string out;
  for (const auto& [bit, name] : {std::pair<unsigned, const char*>{kLostSize, "size"},
                                  {kLostTime, "mtime"},
                                  {kLostMode, "mode"}}) {
    if (lost & bit) out += std::string(out.empty() ? "" : ",") + json_string(name);
  }
  return "[" + out + "]";
}

// {"message_type":"summary",...}: what the restore did, how long it took and
// how it ended (`state`: done, failed, interrupted, connection_lost).
void Restore::print_json_summary(const char* state, int exit_code) {
  JsonObject summary;
  summary.string("message_type", "summary")
      .string("command", "restore")
      .string("remote", remote_root_)
      .raw("point", point_of(remote_root_).empty() ? "null" : json_string(point_of(remote_root_)))
      .string("local", local_root_)
      .boolean("from_manifest", !from_listing_)
      .number("total_files", total_files_)
      .number("total_bytes", total_bytes_)
      .number("files_restored", restored_)
      .number("files_failed", failed_)
      .number("hard_links", hard_links_)
      .number("symlinks", symlinks_)
      .number("metadata_lost", metadata_lost_)
      .raw("metadata_lost_fields", lost_fields_json(lost_kinds_))
      .boolean("verify", options_.verify);
  if (options_.verify) summary.number("files_mismatched", mismatched_);
  summary.number("special_bits_dropped", special_)
      .number("seconds",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count())
      .string("state", state)
      .number("exit_code", exit_code);
  print_json(summary);
}

// Stops at once: the files in flight are left to the service, which drops
// them when the process ends.
void Restore::stop_interrupted() {
  progress_->close();
  std::lock_guard<std::mutex> lock(mutex_);
  if (json_output()) {
    print_json_summary("interrupted", exit_codes::kInterrupted);
  } else {
    std::printf("restore: interrupted; %zu files restored, the others not\n", restored_);
  }
  exit_interrupted();
}

int Restore::mode_to_set(int mode) {
  if (mode == kUnknownMode || options_.special_bits || (mode & ~0777) == 0) return mode;
  std::lock_guard<std::mutex> lock(mutex_);
  ++special_;
  return mode & 0777;
}

// Tells that `path` was restored without the metadata its damaged manifest
// line lost, and counts it.
void Restore::note_lost(const std::string& path, unsigned lost, std::size_t line) {
  if (lost == 0) return;
  progress_->error("restore: " + path + ": restored without its " + lost_metadata_text(lost) +
                       " (line " + std::to_string(line) + " of the manifest is damaged)",
                   path);
  std::lock_guard<std::mutex> lock(mutex_);
  ++metadata_lost_;
  lost_kinds_ |= lost;
}

bool Restore::blocked(const std::string& relative) const {
  for (const std::string& dir : blocked_) {
    if (relative.compare(0, dir.size() + 1, dir + "/") == 0) return true;
  }
  return false;
}

JobOutcome Restore::restore_file(Session& session, const ManifestEntry& entry, std::size_t slot) {
  const std::string local = local_join(local_root_, entry.path);
  const std::string stored = from_listing_ ? entry.path : stored_relative(entry.path);
  const std::string remote = storage_join(entries_root_, stored);
  std::string error;
  if (blocked(entry.path) || !target_.may_write_file(entry.path, error)) {
    if (!error.empty()) {
      progress_->error("restore: skipped " + entry.path + ": " + error, entry.path);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ++failed_;
    not_restored_.insert(entry.path);
    return JobOutcome::kContinue;
  }
  // A name the library cannot carry is written under a scratch name in the
  // target, then moved into place.
  static std::atomic<unsigned> scratch_count{0};
  const std::string scratch = needs_scratch_file(entry.path)
                                  ? ".brevanto-restore.part." + std::to_string(getpid()) + "." +
                                        std::to_string(scratch_count++)
                                  : std::string();
  progress_->start_file(entry.path, entry.size, slot);
  const int status = session.client().downloadfile(
      widen(scratch.empty() ? local : local_join(local_root_, scratch)).c_str(),
      widen(remote).c_str(), kOverwrite, Progress::on_progress, progress_->context(slot));
  if (status == 0 && !scratch.empty() && !target_.move_into(scratch, entry.path, error)) {
    progress_->abandon_file(slot);
    progress_->error("restore: " + local + ": " + error, entry.path);
    std::lock_guard<std::mutex> lock(mutex_);
    ++failed_;
    not_restored_.insert(entry.path);
    return JobOutcome::kContinue;
  }
  if (status != 0) {
    progress_->abandon_file(slot);
    // An encoded name is told with the real one.
    progress_->error("restore: get " + remote +
                         (stored == entry.path ? std::string() : " (" + entry.path + ")") + ": " +
                         session.failure(status),
                     entry.path);
    std::lock_guard<std::mutex> lock(mutex_);
    ++failed_;
    not_restored_.insert(entry.path);
    connection_lost_ |= connection_lost(status, session.cloud());
    return connection_lost_ ? JobOutcome::kStopAll : JobOutcome::kContinue;
  }
  if (!target_.set_metadata(entry.path, mode_to_set(entry.mode), entry.mtime_ns, error)) {
    progress_->error("restore: " + local + ": " + error, entry.path);
  }
  // Without a manifest there is nothing to verify against, and no size.
  const bool listed = !entry.sha256.empty();
  const std::string mismatch = options_.verify && listed ? verify_file(local, entry) : std::string();
  struct stat info;
  const std::uint64_t size = listed || stat(local.c_str(), &info) != 0
                                 ? entry.size
                                 : static_cast<std::uint64_t>(info.st_size);
  progress_->finish_file("restored", size, slot);
  note_lost(entry.path, entry.lost, entry.damaged_line());
  std::lock_guard<std::mutex> lock(mutex_);
  ++restored_;
  if (!mismatch.empty()) {
    progress_->error("verify: " + mismatch, entry.path);
    ++mismatched_;
  }
  return JobOutcome::kContinue;
}

// Makes the folders, none through a link; a folder that cannot be made is
// reported once, and nothing below it is restored.
void Restore::make_directories(const std::vector<std::string>& relatives) {
  const std::set<std::string> unique(relatives.begin(), relatives.end());
  for (const std::string& relative : unique) {
    if (relative.empty() || blocked(relative)) continue;
    std::string error;
    if (!target_.make_directory(relative, error)) {
      print_error("restore: cannot create " + local_join(local_root_, relative) + ": " + error,
                  JsonObject().name("item", relative));
      blocked_.push_back(relative);
      ++failed_;
    }
  }
}

// Directories get their modes and times last, deepest first: writing into a
// directory changes its time, and a mode may forbid writing into it. The
// target itself keeps its mode and time when it was there before.
void Restore::apply_directory_metadata() {
  std::vector<const ManifestDir*> dirs;
  for (const ManifestDir& dir : manifest_.dirs) {
    if ((dir.path == "." && !root_made_) || blocked(dir.path + "/")) continue;
    dirs.push_back(&dir);
  }
  std::sort(dirs.begin(), dirs.end(), [](const ManifestDir* a, const ManifestDir* b) {
    return a->path.size() > b->path.size();
  });
  for (const ManifestDir* dir : dirs) {
    std::string error;
    if (!target_.set_metadata(dir->path, mode_to_set(dir->mode), dir->mtime_ns, error)) {
      progress_->error("restore: " + local_join(local_root_, dir->path) + ": " + error, dir->path);
    } else {
      note_lost(dir->path, dir->lost, dir->damaged_line);
    }
  }
}

// A directory without a manifest: every file a listing shows, sizes unknown.
int Restore::restore_from_listing() {
  from_listing_ = true;
  RemoteTree tree;
  if (const int status = list_remote_tree(session_, remote_root_, tree)) {
    return session_.fail("restore: ls " + remote_root_, status);
  }
  for (const std::string& unsafe : tree.unsafe) {
    print_error("restore: skipped " + unsafe + ": unsafe path", JsonObject().name("item", unsafe));
  }
  std::vector<std::string> dirs;
  std::vector<ManifestEntry> files;
  for (const RemoteEntry& entry : tree.entries) {
    if (entry.is_dir) {
      dirs.push_back(entry.relative);
    } else {
      files.push_back(ManifestEntry{Digest(), 0, entry.relative});
    }
  }
  make_directories(dirs);
  std::vector<std::size_t> order(files.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  return transfer(files, order);
}

}  // namespace

int run_restore(Session& session, ProgressMode mode, const RestoreOptions& options) {
  const InterruptGuard guard;
  if (options.at.empty()) {
    Restore restore(session, mode, options);
    return restore.run();
  }
  // The backup as it was at that time: the path below the point where the
  // backup then newest was completed.
  std::vector<Point> points;
  std::size_t index = 0;
  if (const int rc = find_point(session, "restore --at " + options.at, options.at, points, index)) {
    return rc;
  }
  const std::string remote = to_storage_path(options.remote_dir);
  const std::string backup_root = backup_root_at(session, points[index].name, remote);
  if (!backup_root.empty()) index = completion_point(session, points, index, backup_root);
  RestoreOptions at_point_options = options;
  at_point_options.remote_dir = at_point(points[index].name, remote);
  Restore restore(session, mode, at_point_options);
  return restore.run();
}
