#include "cli/commands/backup.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "cli/exit_codes.h"
#include "cli/free_memory.h"
#include "cli/interrupt.h"
#include "cli/local/exclusion.h"
#include "cli/local/file_hash.h"
#include "cli/local/local_path.h"
#include "cli/local/local_target_check.h"
#include "cli/local/local_tree.h"
#include "cli/local/scratch_folder.h"
#include "cli/manifest/manifest_store.h"
#include "cli/manifest/stored_name.h"
#include "cli/output/output.h"
#include "cli/output/status.h"
#include "cli/output/units.h"
#include "cli/remote/backup_lock.h"
#include "cli/remote/history.h"
#include "cli/remote/parallel_sessions.h"
#include "cli/remote/remote_tree.h"
#include "cli/remote/storage_path.h"
#include "cli/text.h"
#include "util/module_path.h"

namespace {

struct Tally {
  std::size_t added = 0;
  std::size_t updated = 0;
  std::size_t unchanged = 0;
  std::size_t deleted = 0;
  std::size_t dirs_created = 0;
  std::size_t skipped = 0;
  std::size_t failed = 0;
  std::uint64_t bytes_sent = 0;  // of the files added and updated (a dry run: would be)
};

// What became of one local file; its manifest entry is the new manifest's
// entry of the same index.
struct FileJob {
  // In the last backup, and still stored, when it is to be read again
  // (changed, or --checksum); an unchanged file took its digest instead.
  const ManifestEntry* previous = nullptr;
  bool stored = false;
  enum class State : std::uint8_t { kPending, kSending, kAdded, kUpdated, kUnchanged, kFailed };
  State state = State::kPending;
};

// Creates every missing directory of `path`, from the root down.
int ensure_storage_dir(CBrevanto& client, const std::string& path, Tally& tally) {
  std::size_t from = 1;
  while (from <= path.size()) {
    std::size_t cut = path.find('\\', from);
    if (cut == std::string::npos) cut = path.size();
    const std::string prefix = path.substr(0, cut);
    from = cut + 1;
    if (prefix.size() <= 1) continue;
    const std::wstring wide = widen(prefix);
    if (client.is_path_exists(wide.c_str())) continue;
    if (const int status = client.adddir(wide.c_str())) return status;
    ++tally.dirs_created;
  }
  return 0;
}

// A second name, below the backed-up directory, for a file whose own name
// the library cannot carry: a hard link, or a copy where none can be made
// (another file system). Removed at the end of its scope.
class ScratchCopy {
 public:
  ScratchCopy(const std::string& source, const std::string& local_root) {
    if (source.empty()) return;
    static std::atomic<unsigned> counter{0};
    path_ = local_join(local_root, std::string(kManifestName) + ".send-" +
                                       std::to_string(getpid()) + "-" + std::to_string(counter++));
    if (link(source.c_str(), path_.c_str()) == 0) return;
    if (!copy(source)) {
      unlink(path_.c_str());
      path_.clear();
    }
  }
  ~ScratchCopy() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  ScratchCopy(const ScratchCopy&) = delete;
  ScratchCopy& operator=(const ScratchCopy&) = delete;

  const std::string& path() const { return path_; }
  const std::string& error() const { return error_; }

 private:
  bool copy(const std::string& source) {
    const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
    const int out =
        in < 0 ? -1 : open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool done = in >= 0 && out >= 0;
    char buffer[65536];
    while (done) {
      const ssize_t got = read(in, buffer, sizeof(buffer));
      if (got <= 0) {
        done = got == 0;
        break;
      }
      done = write(out, buffer, static_cast<std::size_t>(got)) == got;
    }
    if (!done) error_ = std::strerror(errno);
    if (in >= 0) close(in);
    if (out >= 0 && close(out) != 0 && done) {
      error_ = std::strerror(errno);
      done = false;
    }
    return done;
  }

  std::string path_;
  std::string error_;
};

class Backup {
 public:
  Backup(Session& session, ProgressMode mode, const BackupOptions& options)
      : session_(session), mode_(mode), options_(options),
        local_root_(absolute_local(options.local_dir)),
        remote_root_(to_storage_path(options.remote_dir)),
        started_(std::chrono::steady_clock::now()) {}

  int run();

 private:
  void take_local_tree(LocalTree tree);
  int prepare_storage(int listed);
  void read_previous_manifest();
  void take_previous(ManifestEntry&& previous, const std::vector<std::size_t>& by_path);
  void forget_previous();
  int create_directories();
  void plan_files();
  JobOutcome back_up(Session& session, std::size_t index, std::size_t slot);
  void delete_missing(bool dry_run = false);
  int report_dry_run();
  const RemoteEntry* find_stored(const std::string& relative) const;
  const ManifestEntry* snapshot_entry(std::size_t index) const;
  Manifest snapshot(bool incomplete);
  Manifest snapshot_copy();
  bool store_on_new_client(const Manifest& manifest, std::string& error);
  [[noreturn]] void stop_interrupted();
  int save_after_lost_connection();
  void release_lookups();
  void report(const char* what, const std::string& path, int status);
  void print_dry_run_line(const char* action, const std::string& item, const std::uint64_t* size);
  void print_json_summary(const char* state, int exit_code, bool manifest_stored);
  void note_earlier_backup();
  bool note_disk_full(const Session& session, int status, const std::string& what);

  Session& session_;
  ProgressMode mode_;
  const BackupOptions& options_;
  const std::string local_root_;
  const std::string remote_root_;
  const std::chrono::steady_clock::time_point started_;
  // The snapshot in the making: the local directories, and every local
  // file with its size, time and mode, its SHA-256 once known. Nothing else
  // is kept per local file but its job.
  Manifest next_;
  std::size_t local_files_ = 0;
  std::uint64_t local_bytes_ = 0;
  // What the storage holds, sorted by path: looked up by binary search.
  RemoteTree stored_;
  // The last backup's files that are read again: the others are matched as
  // the last manifest is read and never held, so that a backup holds no
  // more per file than the new manifest and the storage's listing.
  std::deque<ManifestEntry> previous_;
  std::vector<FileJob> jobs_;             // one per file of next_
  std::vector<std::size_t> transfers_;   // the files to read and maybe send
  std::unique_ptr<Progress> progress_;
  std::mutex tally_mutex_;
  Tally tally_;
  bool connection_lost_ = false;
  bool first_backup_ = false;  // the storage held no manifest of REMOTE_DIR
  std::size_t excluded_ = 0;  // entries the exclusion options left out
  std::size_t links_ = 0;     // symbolic links, kept in the manifest only
  std::atomic<bool> disk_full_{false};  // the storage said so once: nothing more is sent
  // The other clients of the transfers, logged in until the manifest is
  // stored (see run_in_parallel).
  std::vector<std::unique_ptr<Session>> workers_;
  // The lock's and the manifests' folder; it outlives lock_.
  ScratchFolder scratch_;
  // Held from before the local tree is read until the manifest is stored;
  // declared last, so that a return releases it while session_ works.
  std::unique_ptr<BackupLock> lock_;
};

// The local service's error for a full disk or quota.
constexpr int kServiceDiskFull = 7;
// The cloud library's "the upload would exceed the quota".
constexpr int kCloudQuotaExceeded = -1006;
// How long an interrupted or broken backup waits for its manifest to be
// stored before it ends anyway.
constexpr auto kManifestDeadline = std::chrono::seconds(5);

int Backup::run() {
  std::error_code error;
  if (!std::filesystem::is_directory(local_root_, error)) {
    print_error("backup: " + local_root_ + " is not a directory");
    return exit_codes::kFailed;
  }
  if (in_history(remote_root_)) {
    print_error("backup: " + remote_root_ + ": " + kHistoryFolder +
                " holds the storage's earlier versions, which cannot be changed");
    return exit_codes::kUsage;
  }
  ExcludeRules rules;
  WalkOptions walk;
  if (!backup_walk_options(options_, "backup", rules, walk)) return exit_codes::kUsage;
  if (const int rc = session_.open()) return rc;
  // The local service reads the files itself, with the user's rights (and
  // only below its local roots, when it has any): asked once, before
  // anything is read or sent.
  if (const int rc = check_local_target(session_, "backup", remote_root_,
                                        local_join(local_root_, std::string(kManifestName) + ".probe"),
                                        local_root_, "read")) {
    return rc;
  }
  // The lock and the manifests travel through a private folder; a service
  // narrowed by --local-root may refuse it, and then through the folder
  // backed up, which it was just seen to accept.
  int status = 0;
  if (scratch_.path().empty() ||
      !local_target_accepted(session_, remote_root_,
                             local_join(scratch_.path(), std::string(kManifestName) + ".probe"),
                             status)) {
    if (status != -3 && status != 0) return session_.fail("backup", status);
    scratch_.use(local_root_);
  }
  // Backups of one storage directory take turns: this one reads the local
  // tree and the last manifest only once any other has stored its own.
  if (!options_.dry_run) {
    lock_ = std::make_unique<BackupLock>(session_, remote_root_, scratch_.path());
    const int rc = lock_->acquire(std::chrono::seconds(options_.lock_wait), [this] {
      return ensure_storage_dir(session_.client(), remote_root_, tally_);
    });
    if (rc != exit_codes::kOk) return rc;
  }
  // Listed before the walk: the listing's many small blocks are let go
  // before the walk's entries and the new manifest are taken.
  const int listed = list_remote_tree(session_, remote_root_, stored_);
  take_local_tree(walk_local_tree(local_root_, walk));
  give_back_free_memory();  // the walk's entries
  if (const int rc = prepare_storage(listed)) return rc;
  read_previous_manifest();
  if (options_.dry_run) {
    plan_files();
    return report_dry_run();
  }
  // Made before the first request that may report a full storage.
  progress_ = std::make_unique<Progress>(mode_, options_.transfers);
  if (const int rc = create_directories()) {
    if (json_output()) {
      print_json_summary(rc == exit_codes::kNoSession ? "connection_lost" : "failed", rc, false);
    }
    return rc;
  }
  plan_files();
  if (interrupted()) {  // before anything was sent: the last manifest stays
    if (json_output()) {
      print_json_summary("interrupted", exit_codes::kInterrupted, false);
    } else {
      std::printf("backup: interrupted before any file was sent\n");
    }
    lock_->release();
    exit_interrupted();
  }

  std::uint64_t bytes = 0;
  for (const std::size_t index : transfers_) bytes += next_.files[index].size;
  progress_->start_job(transfers_.size(), bytes);
  const RunEnd end = run_in_parallel(
      session_, session_.cloud() ? 1 : options_.transfers, transfers_.size(),
      [this](Session& session, std::size_t index, std::size_t slot) {
        return back_up(session, transfers_[index], slot);
      },
      &workers_);
  if (end == RunEnd::kInterrupted) stop_interrupted();
  if (connection_lost_) return save_after_lost_connection();
  const bool stopped = end != RunEnd::kFinished;
  if (options_.delete_missing) {
    if (stopped || tally_.failed > 0) {
      progress_->notice("backup: nothing deleted, as not every file was backed up");
    } else {
      delete_missing();
      if (connection_lost_) {
        progress_->close();
        if (json_output()) print_json_summary("connection_lost", exit_codes::kNoSession, false);
        return exit_codes::kNoSession;
      }
    }
  }
  std::string manifest_error;
  const Manifest manifest = snapshot(stopped);
  const bool replace_manifest = stored_.has_manifest;
  release_lookups();  // the manifest is written with nothing else held per file
  const bool manifest_stored = store_manifest(session_, manifest, remote_root_, scratch_.path(),
                                              replace_manifest, manifest_error);
  lock_->release();  // before the logouts, so that their point holds no lock
  // Every client logs out now that the manifest matches the files, at
  // once: the service makes one point of the logouts of one second.
  session_.close();
  workers_.clear();
  if (!manifest_stored) {
    progress_->error("backup: manifest " + storage_join(remote_root_, kManifestName) + ": " +
                     manifest_error);
    ++tally_.failed;
  }
  progress_->close();
  const int rc = tally_.failed == 0 ? exit_codes::kOk : exit_codes::kFailed;
  if (json_output()) {
    print_json_summary(rc == exit_codes::kOk ? "done" : "failed", rc, manifest_stored);
    note_earlier_backup();
    return rc;
  }

  std::printf("backup: %s -> %s: %zu files (%s), %zu added, %zu updated, %zu unchanged, "
              "%zu deleted, %zu directories created, %zu skipped, %zu failed\n",
              local_root_.c_str(), remote_root_.c_str(), local_files_,
              human_bytes(local_bytes_).c_str(), tally_.added, tally_.updated, tally_.unchanged,
              tally_.deleted, tally_.dirs_created, tally_.skipped, tally_.failed);
  if (excluded_ > 0) std::printf("backup: %zu entries excluded\n", excluded_);
  if (links_ > 0) std::printf("backup: %zu symbolic links kept in the manifest\n", links_);
  std::fflush(stdout);
  note_earlier_backup();
  return rc;
}

// A first backup of REMOTE_DIR in the default project, where an earlier
// version backed it up in its own default project: said once the backup is
// done, as this one went elsewhere and sent every file.
void Backup::note_earlier_backup() {
  if (!first_backup_ ||
      !session_.earlier_version_holds(storage_join(remote_root_, kManifestName))) {
    return;
  }
  print_notice(std::string("backup: the last backup of ") + remote_root_ + " was made in the "
               "project \"" + kEarlierDefaultProject + "\" by an earlier version of brevanto; " +
               (options_.dry_run ? "this one would go to the default project"
                                 : "this one went to the default project and sent every file") +
               " (add --project " + kEarlierDefaultProject + " to go on with that one)");
}

// {"message_type":"summary",...}: what the backup did, how long it took and
// how it ended (`state`: done, failed, interrupted, connection_lost).
void Backup::print_json_summary(const char* state, int exit_code, bool manifest_stored) {
  JsonObject summary;
  summary.string("message_type", "summary")
      .string("command", "backup")
      .boolean("dry_run", options_.dry_run)
      .string("local", local_root_)
      .string("remote", remote_root_)
      .number("files_new", tally_.added)
      .number("files_changed", tally_.updated)
      .number("files_unmodified", tally_.unchanged)
      .number("files_failed", tally_.failed)
      .number("entries_removed", tally_.deleted)
      .number("entries_skipped", tally_.skipped)
      .number("entries_excluded", excluded_)
      .number("dirs_new", tally_.dirs_created)
      .number("symlinks", links_)
      .number("total_files", local_files_)
      .number("total_bytes", local_bytes_)
      .number("bytes_sent", tally_.bytes_sent);
  if (!options_.dry_run) summary.boolean("manifest_stored", manifest_stored);
  summary.number("seconds",
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count())
      .string("state", state)
      .number("exit_code", exit_code);
  print_json(summary);
}

// A line of the dry run: "would <action> <item> (<size>)", or with --json
// {"message_type":"verbose_status","action":"would_<action>",...}.
void Backup::print_dry_run_line(const char* action, const std::string& item,
                                const std::uint64_t* size) {
  if (json_output()) {
    std::string name = std::string("would_") + action;
    std::replace(name.begin(), name.end(), ' ', '_');
    JsonObject line;
    line.string("message_type", "verbose_status").string("action", name).name("item", item);
    if (size) line.number("size", *size);
    print_json(line);
    return;
  }
  std::printf("would %s %s%s\n", action, item.c_str(),
              size ? (" (" + human_bytes(*size) + ")").c_str() : "");
}

// Reports what the walk skipped or could not take, and turns the rest into
// the new manifest's directories and files.
void Backup::take_local_tree(LocalTree tree) {
  for (const std::string& skipped : tree.skipped) {
    print_notice("backup: skipped " + skipped);
  }
  for (const std::string& store : tree.service_stores) {
    print_notice("backup: skipped " + store + ": the storage root of a brevanto-service");
  }
  for (const std::string& own : tree.own_folders) {
    print_notice("backup: skipped " + own + ": the log folder of brevanto, which changes while "
                 "it is read");
  }
  for (const std::string& problem : tree.problems) {
    print_error("backup: cannot back up " + problem);
  }
  tally_.skipped = tree.skipped.size() + tree.service_stores.size() + tree.own_folders.size();
  excluded_ = tree.excluded;
  tally_.failed = tree.problems.size();
  local_files_ = tree.files;
  local_bytes_ = tree.bytes;
  next_.dirs.push_back(ManifestDir{".", tree.root_mode, tree.root_mtime_ns});
  next_.files.reserve(tree.files);
  // Each entry is let go of once taken, so that the walk's entries and the
  // manifest's are not all held at once.
  for (; !tree.entries.empty(); tree.entries.pop_front()) {
    LocalEntry& entry = tree.entries.front();
    if (entry.is_dir) {
      next_.dirs.push_back(ManifestDir{std::move(entry.relative), entry.mode, entry.mtime_ns});
    } else if (entry.is_link) {
      ++links_;
      next_.links.push_back(
          ManifestLink{std::move(entry.relative), entry.link_target(), entry.mtime_ns});
    } else {
      next_.files.push_back(ManifestEntry{Digest(), entry.size, std::move(entry.relative),
                                          entry.mtime_ns, entry.mode,
                                          entry.hardlink_to()});
    }
  }
}

// After the listing of the backup directory (`listed`, its status): creates
// the directory when it is missing.
int Backup::prepare_storage(int listed) {
  int status = listed;
  if (status != 0) {
    if (connection_lost(status, session_.cloud())) return session_.fail("backup: ls " + remote_root_, status);
    stored_ = RemoteTree();
    if (options_.dry_run) {
      print_dry_run_line("create directory", remote_root_, nullptr);
      ++tally_.dirs_created;
      return exit_codes::kOk;
    }
    if ((status = ensure_storage_dir(session_.client(), remote_root_, tally_)) != 0) {
      return session_.fail("backup: mkdir " + remote_root_, status);
    }
  }
  return exit_codes::kOk;
}

const RemoteEntry* Backup::find_stored(const std::string& relative) const {
  const auto it = std::lower_bound(
      stored_.entries.begin(), stored_.entries.end(), relative,
      [](const RemoteEntry& entry, const std::string& key) { return entry.relative < key; });
  return it != stored_.entries.end() && it->relative == relative ? &*it : nullptr;
}

// Makes a job for every local file, and matches the last manifest's files
// with them as it is read: a stored file of the same size and time keeps
// its digest and is not read again.
void Backup::read_previous_manifest() {
  jobs_.resize(next_.files.size());
  for (std::size_t i = 0; i < next_.files.size(); ++i) {
    const RemoteEntry* stored = find_stored(stored_relative(next_.files[i].path));
    jobs_[i].stored = stored != nullptr && !stored->is_dir;
  }
  first_backup_ = !stored_.has_manifest;
  if (first_backup_) return;
  std::vector<std::size_t> by_path(next_.files.size());  // the local files, sorted by path
  for (std::size_t i = 0; i < by_path.size(); ++i) by_path[i] = i;
  std::sort(by_path.begin(), by_path.end(), [this](std::size_t a, std::size_t b) {
    return next_.files[a].path < next_.files[b].path;
  });
  Manifest rest;  // the last manifest without its files
  std::string error;
  const FetchResult fetched =
      fetch_manifest(session_, remote_root_, scratch_.path(), rest, error,
                     [&](ManifestEntry&& previous) { take_previous(std::move(previous), by_path); });
  if (fetched == FetchResult::kFailed) {
    print_error("backup: the last manifest cannot be read, so every file is sent: " + error);
    forget_previous();
  } else if (!rest.problems.empty()) {
    print_error("backup: the last manifest has " + std::to_string(rest.problems.size()) +
                " malformed lines (" + rest.problems.front() +
                "); the files they name are sent again");
  }
}

// One file of the last manifest, matched with the local file of its path
// (`by_path`: next_'s files sorted by path). The first entry of a path
// counts: a manifest changed by hand may list one twice.
void Backup::take_previous(ManifestEntry&& previous, const std::vector<std::size_t>& by_path) {
  const auto it = std::lower_bound(
      by_path.begin(), by_path.end(), previous.path,
      [this](std::size_t index, const std::string& key) { return next_.files[index].path < key; });
  if (it == by_path.end() || next_.files[*it].path != previous.path) return;
  ManifestEntry& entry = next_.files[*it];
  FileJob& job = jobs_[*it];
  if (!job.stored || job.previous || job.state == FileJob::State::kUnchanged) return;
  if (!options_.checksum && previous.size == entry.size && previous.mtime_ns == entry.mtime_ns) {
    job.state = FileJob::State::kUnchanged;
    entry.sha256 = previous.sha256;
    ++tally_.unchanged;
    return;
  }
  previous_.push_back(std::move(previous));
  job.previous = &previous_.back();
}

// The last manifest could not be read to its end: every file is sent, as if
// there were none.
void Backup::forget_previous() {
  for (std::size_t i = 0; i < jobs_.size(); ++i) {
    jobs_[i].previous = nullptr;
    jobs_[i].state = FileJob::State::kPending;
    next_.files[i].sha256 = Digest();
  }
  tally_.unchanged = 0;
  previous_.clear();
}

int Backup::create_directories() {
  for (std::size_t i = 1; i < next_.dirs.size(); ++i) {  // after "."
    const std::string relative = stored_relative(next_.dirs[i].path);
    const RemoteEntry* stored = find_stored(relative);
    if (stored != nullptr && stored->is_dir) continue;
    const std::string remote = storage_join(remote_root_, relative);
    const int status = session_.client().adddir(widen(remote).c_str());
    if (status == 0) {
      ++tally_.dirs_created;
      continue;
    }
    ++tally_.failed;
    if (note_disk_full(session_, status, "mkdir " + remote)) return exit_codes::kFailed;
    print_error("backup: mkdir " + remote + ": " + session_.failure(status),
                JsonObject().name("item", next_.dirs[i].path));
    if (connection_lost(status, session_.cloud())) return exit_codes::kNoSession;
  }
  return exit_codes::kOk;
}

// The files to read and maybe send: all but those found unchanged.
void Backup::plan_files() {
  for (std::size_t i = 0; i < jobs_.size(); ++i) {
    if (jobs_[i].state != FileJob::State::kUnchanged) transfers_.push_back(i);
  }
}

JobOutcome Backup::back_up(Session& session, std::size_t index, std::size_t slot) {
  ManifestEntry& entry = next_.files[index];
  FileJob& job = jobs_[index];
  const std::string path = local_join(local_root_, entry.path);
  const std::string remote = storage_join(remote_root_, stored_relative(entry.path));
  progress_->start_file(entry.path, entry.size, slot);
  FileHash hash;
  std::string error;
  if (!hash_file(path, hash, error)) {
    progress_->abandon_file(slot);
    progress_->error("backup: cannot read " + path + ": " + error, entry.path);
    std::lock_guard<std::mutex> lock(tally_mutex_);
    job.state = FileJob::State::kFailed;
    ++tally_.failed;
    return JobOutcome::kContinue;
  }
  if (job.previous && job.previous->sha256 == hash.sha256 &&
      job.previous->size == hash.size) {  // --checksum: same content
    progress_->finish_file("unchanged", hash.size, slot);
    std::lock_guard<std::mutex> lock(tally_mutex_);
    job.state = FileJob::State::kUnchanged;
    entry.sha256 = hash.sha256;
    entry.size = hash.size;
    ++tally_.unchanged;
    return JobOutcome::kContinue;
  }
  // A name the library cannot carry is sent through a scratch name.
  const ScratchCopy scratch(needs_scratch_file(entry.path) ? path : std::string(), local_root_);
  if (!scratch.error().empty()) {
    progress_->abandon_file(slot);
    progress_->error("backup: cannot read " + path + ": " + scratch.error(), entry.path);
    std::lock_guard<std::mutex> lock(tally_mutex_);
    job.state = FileJob::State::kFailed;
    ++tally_.failed;
    return JobOutcome::kContinue;
  }
  const std::wstring wide_local = widen(scratch.path().empty() ? path : scratch.path());
  const std::wstring wide_remote = widen(remote);
  void* context = progress_->context(slot);
  {
    // From here the stored copy may change: an interrupted backup's
    // manifest leaves the file out.
    std::lock_guard<std::mutex> lock(tally_mutex_);
    job.state = FileJob::State::kSending;
  }
  const int status =
      job.stored ? session.replace(wide_local, wide_remote, Progress::on_progress, context)
                 : session.client().addfile(wide_local.c_str(), wide_remote.c_str(),
                                            Progress::on_progress, context);
  std::lock_guard<std::mutex> lock(tally_mutex_);
  if (status != 0) {
    progress_->abandon_file(slot);
    job.state = FileJob::State::kFailed;
    ++tally_.failed;
    const bool lost = connection_lost(status, session.cloud());
    // One message for a full storage, not one per file.
    if (!lost && (disk_full_ || note_disk_full(session, status, ""))) return JobOutcome::kStopAll;
    progress_->error(std::string("backup: ") + (job.stored ? "update " : "put ") + remote + ": " +
                         session.failure(status),
                     entry.path);
    if (lost) {
      connection_lost_ = true;
      return JobOutcome::kStopAll;
    }
    return JobOutcome::kContinue;
  }
  progress_->finish_file(job.stored ? "updated" : "added", hash.size, slot);
  job.state = job.stored ? FileJob::State::kUpdated : FileJob::State::kAdded;
  ++(job.stored ? tally_.updated : tally_.added);
  tally_.bytes_sent += hash.size;
  entry.sha256 = hash.sha256;
  entry.size = hash.size;
  return JobOutcome::kContinue;
}

// What a backup would do, printed, with nothing sent, created or removed:
// the files it would add or update (with --checksum, read to tell), the
// directories it would create and, with --delete, what it would remove.
int Backup::report_dry_run() {
  for (std::size_t i = 1; i < next_.dirs.size(); ++i) {  // after "."
    const RemoteEntry* stored = find_stored(stored_relative(next_.dirs[i].path));
    if (stored != nullptr && stored->is_dir) continue;
    print_dry_run_line("create directory", next_.dirs[i].path, nullptr);
    ++tally_.dirs_created;
  }
  std::uint64_t bytes = 0;
  for (const std::size_t index : transfers_) {
    const ManifestEntry& entry = next_.files[index];
    const FileJob& job = jobs_[index];
    if (interrupted()) exit_interrupted();
    if (job.previous) {  // as when it is backed up, the same content is no change
      FileHash hash;
      std::string error;
      if (hash_file(local_join(local_root_, entry.path), hash, error) &&
          hash.sha256 == job.previous->sha256 && hash.size == job.previous->size) {
        ++tally_.unchanged;
        continue;
      }
    }
    print_dry_run_line(job.stored ? "update" : "add", entry.path, &entry.size);
    ++(job.stored ? tally_.updated : tally_.added);
    bytes += entry.size;
  }
  if (options_.delete_missing) delete_missing(true);
  tally_.bytes_sent = bytes;
  const int rc = tally_.failed == 0 ? exit_codes::kOk : exit_codes::kFailed;
  if (json_output()) {
    print_json_summary(rc == exit_codes::kOk ? "done" : "failed", rc, false);
    note_earlier_backup();
    return rc;
  }
  std::printf("backup --dry-run: %s -> %s: would add %zu and update %zu files (%s), create %zu "
              "directories, delete %zu entries; %zu unchanged, %zu skipped, %zu failed; nothing "
              "was sent\n",
              local_root_.c_str(), remote_root_.c_str(), tally_.added, tally_.updated,
              human_bytes(bytes).c_str(), tally_.dirs_created, tally_.deleted, tally_.unchanged,
              tally_.skipped, tally_.failed);
  std::fflush(stdout);
  note_earlier_backup();
  return rc;
}

// Removes what the storage holds below the backup directory and the local
// tree does not: the topmost such entry of each branch, with its content.
// With `dry_run`, prints what it would remove instead.
void Backup::delete_missing(bool dry_run) {
  std::vector<std::string> local;  // as stored
  local.reserve(next_.dirs.size() + next_.files.size());
  for (const ManifestDir& dir : next_.dirs) local.push_back(stored_relative(dir.path));
  for (const ManifestEntry& file : next_.files) local.push_back(stored_relative(file.path));
  std::sort(local.begin(), local.end());
  std::string removed_dir;  // entries below it went with it
  for (const RemoteEntry& entry : stored_.entries) {
    if (std::binary_search(local.begin(), local.end(), entry.relative) ||
        entry.relative.compare(0, std::string(kManifestName).size(), kManifestName) == 0) {
      continue;
    }
    if (!removed_dir.empty() && entry.relative.compare(0, removed_dir.size() + 1,
                                                       removed_dir + "/") == 0) {
      continue;
    }
    const std::string remote = storage_join(remote_root_, entry.relative);
    if (dry_run) {
      print_dry_run_line("delete", entry.relative, nullptr);
      if (entry.is_dir) removed_dir = entry.relative;
      ++tally_.deleted;
      continue;
    }
    const std::wstring wide = widen(remote);
    CBrevanto& client = session_.client();
    const int status = entry.is_dir ? client.removedir(wide.c_str()) : client.removefile(wide.c_str());
    if (status != 0) {
      report(entry.is_dir ? "rmdir" : "rm", remote, status);
      if (connection_lost_) return;
      continue;
    }
    if (entry.is_dir) removed_dir = entry.relative;
    ++tally_.deleted;
    progress_->note_entry("deleted", entry.relative);
  }
}

void Backup::report(const char* what, const std::string& path, int status) {
  progress_->error(std::string("backup: ") + what + " " + path + ": " + session_.failure(status));
  ++tally_.failed;
  connection_lost_ = connection_lost(status, session_.cloud());
}

void Backup::release_lookups() {
  stored_ = RemoteTree();
  previous_ = std::deque<ManifestEntry>();
  jobs_ = std::vector<FileJob>();
}

// A file's entry in the snapshot: its new one once backed up or unchanged;
// before that, the last backup's, as the stored content is untouched; none
// while it is sent (the stored copy may be the old or the new one) or when
// the last backup did not record it whole.
const ManifestEntry* Backup::snapshot_entry(std::size_t index) const {
  const FileJob& job = jobs_[index];
  switch (job.state) {
    case FileJob::State::kAdded:
    case FileJob::State::kUpdated:
    case FileJob::State::kUnchanged: return &next_.files[index];
    case FileJob::State::kSending: return nullptr;
    case FileJob::State::kPending:
    case FileJob::State::kFailed: break;
  }
  return job.previous && job.previous->mtime_ns != kUnknownTime &&
                 job.previous->mode != kUnknownMode && job.previous->lost == 0
             ? job.previous
             : nullptr;
}

// The snapshot, called once at the end: the new manifest's entries move
// into it.
Manifest Backup::snapshot(bool incomplete) {
  Manifest manifest;
  manifest.incomplete = incomplete;
  manifest.dirs = std::move(next_.dirs);
  manifest.links = std::move(next_.links);
  std::vector<ManifestEntry>& files = next_.files;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const ManifestEntry* entry = snapshot_entry(i);
    if (entry == &files[i]) {
      if (kept != i) files[kept] = std::move(files[i]);
      ++kept;
    } else if (entry != nullptr) {
      files[kept++] = *entry;
    }
  }
  files.resize(kept);
  manifest.files = std::move(files);
  return manifest;
}

// The snapshot of an interrupted backup, copied while its transfers go on.
Manifest Backup::snapshot_copy() {
  std::lock_guard<std::mutex> lock(tally_mutex_);
  Manifest manifest;
  manifest.incomplete = true;
  manifest.dirs = next_.dirs;
  manifest.links = next_.links;
  for (std::size_t i = 0; i < jobs_.size(); ++i) {
    if (const ManifestEntry* entry = snapshot_entry(i)) manifest.files.push_back(*entry);
  }
  return manifest;
}

// Stores the manifest through a client of its own (the others may be busy
// or broken), waiting at most kManifestDeadline. Past it the client's
// thread still uses this backup: the process then ends without unwinding.
bool Backup::store_on_new_client(const Manifest& manifest, std::string& error) {
  struct Outcome {
    std::mutex mutex;
    std::condition_variable done_signal;
    bool done = false;
    bool stored = false;
    std::string error;
  };
  const auto outcome = std::make_shared<Outcome>();
  std::thread([this, outcome, &manifest] {
    std::string thread_error = "no client could log in";
    bool stored = false;
    if (std::unique_ptr<Session> session = session_.another()) {
      stored = store_manifest(*session, manifest, remote_root_, scratch_.path(),
                              stored_.has_manifest, thread_error);
      if (lock_) lock_->release(*session);
      session->close();
    }
    std::lock_guard<std::mutex> lock(outcome->mutex);
    outcome->done = true;
    outcome->stored = stored;
    outcome->error = thread_error;
    outcome->done_signal.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(outcome->mutex);
  if (!outcome->done_signal.wait_for(lock, kManifestDeadline, [&] { return outcome->done; })) {
    print_error("backup: manifest " + storage_join(remote_root_, kManifestName) +
                " not stored: the service did not answer in time");
    exit_at_once(interrupted() ? exit_codes::kInterrupted : exit_codes::kNoSession);
  }
  error = outcome->error;
  return outcome->stored;
}

// The first SIGINT or SIGTERM: stores the manifest of what completed,
// marked incomplete, and ends the process with the transfers in flight.
void Backup::stop_interrupted() {
  progress_->close();
  const Manifest manifest = snapshot_copy();
  std::size_t done = 0;
  {
    std::lock_guard<std::mutex> lock(tally_mutex_);
    done = tally_.added + tally_.updated;
  }
  if (!json_output()) {
    std::printf("backup: interrupted; %zu files sent, the others not\n", done);
    std::fflush(stdout);
  }
  std::string error;
  const bool stored = store_on_new_client(manifest, error);
  if (!stored) {
    print_error("backup: manifest " + storage_join(remote_root_, kManifestName) +
                " not stored: " + error);
  } else if (!json_output()) {
    std::printf("backup: the manifest lists what was done, and the next backup goes on from "
                "there\n");
  }
  if (json_output()) {
    // The transfers still in flight may change the tally.
    std::lock_guard<std::mutex> lock(tally_mutex_);
    print_json_summary("interrupted", exit_codes::kInterrupted, stored);
  }
  exit_interrupted();
}

// The connection broke: what completed is still stored, and its manifest
// spares the next backup sending it again.
int Backup::save_after_lost_connection() {
  progress_->close();
  const Manifest manifest = snapshot(true);
  std::string error;
  const bool stored = store_on_new_client(manifest, error);
  if (stored) {
    print_error("backup: the connection to the service broke; the manifest lists the " +
                std::to_string(tally_.added + tally_.updated) + " files sent before");
  } else {
    print_error("backup: the connection to the service broke, and the manifest could not be "
                "stored: " + error);
  }
  if (json_output()) print_json_summary("connection_lost", exit_codes::kNoSession, stored);
  return exit_codes::kNoSession;
}

// True when `status` says the storage is full: the first time with one
// message, after which nothing more is sent.
bool Backup::note_disk_full(const Session& session, int status, const std::string& what) {
  if (session.cloud() ? status != kCloudQuotaExceeded
                      : status != -3 || session.error_code() != kServiceDiskFull) {
    return false;
  }
  if (!disk_full_.exchange(true)) {
    progress_->error("backup: the storage is full" + (what.empty() ? "" : " (" + what + ")") +
                     ": " + session.failure(status) + "; nothing more is sent");
  }
  return true;
}

}  // namespace

bool backup_walk_options(const BackupOptions& options, const char* command, ExcludeRules& rules,
                         WalkOptions& walk) {
  for (const std::string& pattern : options.excludes) rules.add(pattern);
  for (const std::string& file : options.exclude_files) {
    std::string read_error;
    if (!rules.add_file(file, read_error)) {
      print_error(std::string(command) + ": --exclude-file " + file + ": " + read_error);
      return false;
    }
  }
  walk = WalkOptions{kManifestName, options.copy_links, &rules, options.exclude_caches, 0, {}};
  // The program's own log changes while it is read (every request is
  // logged), so a backup of a folder holding it could never be checked.
  const std::string log_folder = narrow(log_directory());
  struct stat log_info;
  if (!log_folder.empty() && stat(log_folder.c_str(), &log_info) == 0 &&
      S_ISDIR(log_info.st_mode)) {
    walk.own_folders.push_back(FolderId{log_info.st_dev, log_info.st_ino});
  }
  if (!options.exclude_larger_than.empty() &&
      !parse_size(options.exclude_larger_than, walk.exclude_larger_than)) {
    print_error(std::string(command) + ": --exclude-larger-than " + options.exclude_larger_than +
                ": not a size (such as 500K, 10M, 2G)");
    return false;
  }
  // The top of the storage holds the service's folder of earlier versions,
  // which no backup may change: a local entry of that name stays out.
  struct stat info;
  if (to_storage_path(options.remote_dir) == "\\" &&
      lstat(local_join(absolute_local(options.local_dir), kHistoryName).c_str(), &info) == 0) {
    print_notice(std::string(command) + ": skipped " + kHistoryName + ": the top of the "
                 "storage keeps its earlier versions under that name; back up to a folder "
                 "(such as \\home) to keep it");
    rules.add(std::string("/") + kHistoryName);
  }
  return true;
}

int run_backup(Session& session, ProgressMode mode, const BackupOptions& options) {
  const InterruptGuard guard;
  Backup backup(session, mode, options);
  return backup.run();
}
