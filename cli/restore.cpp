#include "cli/restore.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "cli/local_path.h"
#include "cli/local_target_check.h"
#include "cli/manifest_store.h"
#include "cli/parallel_sessions.h"
#include "cli/remote_tree.h"
#include "cli/status.h"
#include "cli/storage_path.h"
#include "cli/text.h"
#include "cli/transfer_commands.h"
#include "cli/units.h"
#include "cli/verify.h"

namespace fs = std::filesystem;

namespace {

// Sets the mode and modification time a manifest recorded, where it did.
bool apply_metadata(const std::string& path, int mode, std::int64_t mtime_ns, std::string& error) {
  if (mode != kUnknownMode && chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) {
    error = std::string("chmod: ") + std::strerror(errno);
    return false;
  }
  if (mtime_ns != kUnknownTime) {
    timespec times[2];
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(mtime_ns / 1000000000);
    times[1].tv_nsec = static_cast<long>(mtime_ns % 1000000000);
    if (times[1].tv_nsec < 0) {
      times[1].tv_nsec += 1000000000;
      --times[1].tv_sec;
    }
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
      error = std::string("utimensat: ") + std::strerror(errno);
      return false;
    }
  }
  return true;
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
        local_root_(absolute_local(options.local_dir)) {}

  int run();

 private:
  int restore_from_listing();
  JobOutcome restore_file(Session& session, const ManifestEntry& entry, std::size_t slot);
  bool make_directories(const std::vector<std::string>& relatives);
  void apply_directory_metadata();

  Session& session_;
  ProgressMode mode_;
  const RestoreOptions& options_;
  const std::string remote_root_;
  const std::string local_root_;
  Manifest manifest_;
  std::unique_ptr<Progress> progress_;
  std::mutex mutex_;
  std::size_t failed_ = 0;
  std::size_t mismatched_ = 0;
  bool connection_lost_ = false;
};

int Restore::run() {
  if (const int rc = session_.open()) return rc;
  switch (entry_kind(session_, remote_root_)) {
    case EntryKind::kFile: return run_get(session_, mode_, remote_root_, options_.local_dir + "/");
    case EntryKind::kDirectory: break;
    case EntryKind::kUnknown:
      std::fprintf(stderr, "restore: %s: not found in the storage\n", remote_root_.c_str());
      return exit_codes::kFailed;
  }
  if (const int rc = check_local_target(session_, "restore", remote_root_,
                                        local_join(local_root_, std::string(kManifestName) + ".probe"))) {
    return rc;
  }
  std::error_code error;
  fs::create_directories(local_root_, error);
  if (error) {
    std::fprintf(stderr, "restore: cannot create %s: %s\n", local_root_.c_str(),
                 error.message().c_str());
    return exit_codes::kFailed;
  }
  std::string fetch_error;
  switch (fetch_manifest(session_, remote_root_, local_root_, manifest_, fetch_error)) {
    case FetchResult::kFetched: break;
    case FetchResult::kMissing: return restore_from_listing();
    case FetchResult::kFailed:
      std::fprintf(stderr, "restore: manifest %s: %s\n",
                   storage_join(remote_root_, kManifestName).c_str(), fetch_error.c_str());
      return exit_codes::kFailed;
  }
  if (manifest_.incomplete) {
    std::fprintf(stderr, "restore: the backup in %s was stopped before its end; restoring the "
                         "files it holds\n", remote_root_.c_str());
  }
  // Paths that would leave the restore directory are never created.
  std::vector<ManifestEntry> files;
  files.reserve(manifest_.files.size());
  std::vector<std::string> dirs;
  for (const ManifestDir& dir : manifest_.dirs) {
    if (dir.path != "." && is_safe_relative(dir.path)) dirs.push_back(dir.path);
  }
  std::uint64_t bytes = 0;
  for (ManifestEntry& entry : manifest_.files) {
    if (!is_safe_relative(entry.path)) {
      std::fprintf(stderr, "restore: skipped %s: unsafe path\n", entry.path.c_str());
      ++failed_;
      continue;
    }
    // Files come folder by folder: a folder is noted once per run of them.
    std::string parent = fs::path(entry.path).parent_path().string();
    if (dirs.empty() || dirs.back() != parent) dirs.push_back(std::move(parent));
    bytes += entry.size;
    files.push_back(std::move(entry));
  }
  if (!make_directories(dirs)) return exit_codes::kFailed;

  const std::vector<std::size_t> order = spread_over_folders(files);

  progress_ = std::make_unique<Progress>(mode_, options_.transfers);
  progress_->start_job(files.size(), bytes);
  const bool finished =
      run_in_parallel(session_, session_.cloud() ? 1 : options_.transfers, files.size(),
                      [&](Session& session, std::size_t index, std::size_t slot) {
                        return restore_file(session, files[order[index]], slot);
                      });
  if (connection_lost_) return exit_codes::kNoSession;
  apply_directory_metadata();
  progress_->close();
  if (!finished && interrupted()) {
    std::printf("restore: interrupted after the files in flight\n");
    return exit_codes::kInterrupted;
  }
  std::printf("restore: %s -> %s: %zu files (%s), %zu failed\n", remote_root_.c_str(),
              local_root_.c_str(), files.size(), human_bytes(bytes).c_str(), failed_);
  if (options_.verify) {
    if (mismatched_ == 0) {
      std::printf("verify: all %zu files match the manifest\n", files.size());
    } else {
      std::printf("verify: %zu problems in %zu files\n", mismatched_, files.size());
    }
  }
  return failed_ == 0 && mismatched_ == 0 ? exit_codes::kOk : exit_codes::kFailed;
}

JobOutcome Restore::restore_file(Session& session, const ManifestEntry& entry, std::size_t slot) {
  const std::string local = local_join(local_root_, entry.path);
  const std::string remote = storage_join(remote_root_, entry.path);
  progress_->start_file(entry.path, entry.size, slot);
  const int status = session.client().downloadfile(widen(local).c_str(), widen(remote).c_str(),
                                                   kOverwrite, Progress::on_progress,
                                                   progress_->context(slot));
  if (status != 0) {
    progress_->abandon_file(slot);
    progress_->message("restore: get " + remote + ": " + session.failure(status));
    std::lock_guard<std::mutex> lock(mutex_);
    ++failed_;
    connection_lost_ |= connection_lost(status, session.cloud());
    return connection_lost_ ? JobOutcome::kStopAll : JobOutcome::kContinue;
  }
  std::string error;
  if (!apply_metadata(local, entry.mode, entry.mtime_ns, error)) {
    progress_->message("restore: " + local + ": " + error);
  }
  // Without a manifest there is nothing to verify against, and no size.
  const bool listed = !entry.sha256_hex.empty();
  const std::string mismatch = options_.verify && listed ? verify_file(local, entry) : std::string();
  struct stat info;
  const std::uint64_t size = listed || stat(local.c_str(), &info) != 0
                                 ? entry.size
                                 : static_cast<std::uint64_t>(info.st_size);
  progress_->finish_file("restored", size, slot);
  if (!mismatch.empty()) {
    progress_->message("verify: " + mismatch);
    std::lock_guard<std::mutex> lock(mutex_);
    ++mismatched_;
  }
  return JobOutcome::kContinue;
}

bool Restore::make_directories(const std::vector<std::string>& relatives) {
  const std::set<std::string> unique(relatives.begin(), relatives.end());
  for (const std::string& relative : unique) {
    if (relative.empty()) continue;
    const std::string local = local_join(local_root_, relative);
    std::error_code error;
    fs::create_directories(local, error);
    if (error) {
      std::fprintf(stderr, "restore: cannot create %s: %s\n", local.c_str(),
                   error.message().c_str());
      return false;
    }
  }
  return true;
}

// Directories get their modes and times last, deepest first: writing into a
// directory changes its time, and a mode may forbid writing into it.
void Restore::apply_directory_metadata() {
  std::vector<const ManifestDir*> dirs;
  for (const ManifestDir& dir : manifest_.dirs) {
    if (dir.path == "." || is_safe_relative(dir.path)) dirs.push_back(&dir);
  }
  std::sort(dirs.begin(), dirs.end(), [](const ManifestDir* a, const ManifestDir* b) {
    return a->path.size() > b->path.size();
  });
  for (const ManifestDir* dir : dirs) {
    const std::string local = dir->path == "." ? local_root_ : local_join(local_root_, dir->path);
    std::string error;
    if (!apply_metadata(local, dir->mode, dir->mtime_ns, error)) {
      progress_->message("restore: " + local + ": " + error);
    }
  }
}

// A directory without a manifest: every file a listing shows, sizes unknown.
int Restore::restore_from_listing() {
  RemoteTree tree;
  if (const int status = list_remote_tree(session_, remote_root_, tree)) {
    return session_.fail("restore: ls " + remote_root_, status);
  }
  for (const std::string& unsafe : tree.unsafe) {
    std::fprintf(stderr, "restore: skipped %s: unsafe path\n", unsafe.c_str());
  }
  std::vector<std::string> dirs;
  for (const RemoteEntry& entry : tree.entries) {
    if (entry.is_dir) {
      dirs.push_back(entry.relative);
    } else {
      manifest_.files.push_back(ManifestEntry{std::string(), 0, entry.relative});
    }
  }
  if (!make_directories(dirs)) return exit_codes::kFailed;
  progress_ = std::make_unique<Progress>(mode_, options_.transfers);
  progress_->start_job(manifest_.files.size(), 0);
  run_in_parallel(session_, session_.cloud() ? 1 : options_.transfers, manifest_.files.size(),
                  [&](Session& session, std::size_t index, std::size_t slot) {
                    return restore_file(session, manifest_.files[index], slot);
                  });
  if (connection_lost_) return exit_codes::kNoSession;
  progress_->close();
  std::printf("restore: %s -> %s: %zu files, %zu failed\n", remote_root_.c_str(),
              local_root_.c_str(), manifest_.files.size(), failed_);
  if (options_.verify) {
    std::fprintf(stderr, "restore: %s holds no manifest; nothing to verify against\n",
                 remote_root_.c_str());
    return exit_codes::kFailed;
  }
  return failed_ == 0 ? exit_codes::kOk : exit_codes::kFailed;
}

}  // namespace

int run_restore(Session& session, ProgressMode mode, const RestoreOptions& options) {
  const InterruptGuard guard;
  Restore restore(session, mode, options);
  return restore.run();
}
