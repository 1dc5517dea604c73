#include "cli/commands/check.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <vector>

#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "cli/local/file_hash.h"
#include "cli/local/local_path.h"
#include "cli/local/scratch_folder.h"
#include "cli/manifest/manifest_store.h"
#include "cli/manifest/stored_name.h"
#include "cli/output/output.h"
#include "cli/output/status.h"
#include "cli/output/units.h"
#include "cli/remote/parallel_sessions.h"
#include "cli/remote/remote_tree.h"
#include "cli/remote/storage_path.h"
#include "cli/text.h"

namespace {

class Check {
 public:
  Check(Session& session, const CheckOptions& options)
      : session_(session), options_(options), remote_root_(to_storage_path(options.remote_dir)),
        scratch_(options.scratch_dir) {}

  int run();

 private:
  JobOutcome check_file(Session& session, const ManifestEntry& entry);
  void problem(const std::string& text, const std::string& item = std::string());
  void print_json_summary(std::size_t files, std::uint64_t bytes, const char* state, int exit_code);

  Session& session_;
  const CheckOptions& options_;
  const std::string remote_root_;
  const ScratchFolder scratch_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::mutex mutex_;
  std::size_t problems_ = 0;
  bool connection_lost_ = false;
};

void Check::problem(const std::string& text, const std::string& item) {
  std::lock_guard<std::mutex> lock(mutex_);
  JsonObject details;
  if (!item.empty()) details.name("item", item);
  print_error("check: " + text, details);
  ++problems_;
}

// {"message_type":"summary",...}: how many files were checked, the problems
// found, and how it ended (`state`: done, failed, connection_lost).
void Check::print_json_summary(std::size_t files, std::uint64_t bytes, const char* state,
                               int exit_code) {
  print_json(JsonObject()
                 .string("message_type", "summary")
                 .string("command", "check")
                 .string("remote", remote_root_)
                 .boolean("read_data", options_.read_data)
                 .number("total_files", files)
                 .number("total_bytes", bytes)
                 .number("problems", problems_)
                 .number("seconds", std::chrono::duration<double>(
                                        std::chrono::steady_clock::now() - started_)
                                        .count())
                 .string("state", state)
                 .number("exit_code", exit_code));
}

int Check::run() {
  if (scratch_.path().empty()) {
    print_error("check: " + scratch_.error());
    return exit_codes::kFailed;
  }
  if (const int rc = session_.open()) return rc;
  Manifest manifest;
  std::string error;
  switch (fetch_manifest(session_, remote_root_, scratch_.path(), manifest, error)) {
    case FetchResult::kFetched: break;
    case FetchResult::kMissing:
      if (!session_.explain_missing("check: " + remote_root_ + " holds no backup",
                                    storage_join(remote_root_, kManifestName))) {
        print_error("check: " + remote_root_ + " holds no manifest: no backup to check");
      }
      return exit_codes::kFailed;
    case FetchResult::kFailed:
      print_error("check: manifest " + storage_join(remote_root_, kManifestName) + ": " + error +
                  (session_.error_code() == kLocalPathRefused ? scratch_.refusal_advice()
                                                              : std::string()));
      return exit_codes::kFailed;
  }
  // Lines kept without some of their metadata are problems of the backup too.
  std::vector<std::string> lines = manifest.problems;
  lines.insert(lines.end(), manifest.damaged.begin(), manifest.damaged.end());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i < kManifestProblemsShown) problem("manifest " + lines[i]);
  }
  if (lines.size() > kManifestProblemsShown) {
    print_error("check: manifest: " + std::to_string(lines.size() - kManifestProblemsShown) +
                " more malformed lines");
  }
  problems_ = lines.size();
  if (manifest.incomplete) {
    print_notice("check: the backup in " + remote_root_ +
                 " was stopped before its end; checking the files it holds");
  }
  RemoteTree stored;
  if (const int status = list_remote_tree(session_, remote_root_, stored)) {
    return session_.fail("check: ls " + remote_root_, status);
  }
  // Files not stored as files are reported here; the others are asked for
  // their size, or read.
  std::vector<const ManifestEntry*> present;
  std::uint64_t bytes = 0;
  for (const ManifestEntry& entry : manifest.files) {
    const std::string relative = stored_relative(entry.path);
    const auto it = std::lower_bound(
        stored.entries.begin(), stored.entries.end(), relative,
        [](const RemoteEntry& item, const std::string& key) { return item.relative < key; });
    if (it == stored.entries.end() || it->relative != relative || it->is_dir) {
      problem("missing " + entry.path, entry.path);
      continue;
    }
    present.push_back(&entry);
    bytes += entry.size;
  }
  const RunEnd end = run_in_parallel(
      session_, session_.cloud() ? 1 : options_.transfers, present.size(),
      [&](Session& session, std::size_t index, std::size_t) {
        return check_file(session, *present[index]);
      });
  if (end == RunEnd::kInterrupted) {
    if (json_output()) {
      std::lock_guard<std::mutex> lock(mutex_);
      print_json_summary(manifest.files.size(), bytes, "interrupted", exit_codes::kInterrupted);
    } else {
      std::printf("check: interrupted\n");
    }
    exit_interrupted();
  }
  if (connection_lost_) {
    if (json_output()) {
      print_json_summary(manifest.files.size(), bytes, "connection_lost", exit_codes::kNoSession);
    }
    return exit_codes::kNoSession;
  }
  if (json_output()) {
    const int rc = problems_ == 0 ? exit_codes::kOk : exit_codes::kFailed;
    print_json_summary(manifest.files.size(), bytes, rc == 0 ? "done" : "failed", rc);
    return rc;
  }
  if (problems_ == 0) {
    std::printf("check: %s: all %zu files of the last backup are stored%s (%s)\n",
                remote_root_.c_str(), manifest.files.size(),
                options_.read_data ? " and match their SHA-256" : " with their sizes",
                human_bytes(bytes).c_str());
    return exit_codes::kOk;
  }
  std::printf("check: %s: %zu problems in %zu files\n", remote_root_.c_str(), problems_,
              manifest.files.size());
  return exit_codes::kFailed;
}

JobOutcome Check::check_file(Session& session, const ManifestEntry& entry) {
  const std::string remote = storage_join(remote_root_, stored_relative(entry.path));
  const std::wstring wide_remote = widen(remote);
  int status = 0;
  if (!options_.read_data) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    int backup_type = 0;
    int reversion = 0;
    status = session.client().getfileinfo(wide_remote.c_str(), data, backup_type, reversion);
    const std::uint64_t size = join_halves(data.nFileSizeHigh, data.nFileSizeLow);
    if (status == 0 && !(entry.lost & kLostSize) && size != entry.size) {
      problem(entry.path + ": stored size " + std::to_string(size) + ", the manifest says " +
                  std::to_string(entry.size),
              entry.path);
    }
  } else {
    // The file travels through a scratch file, removed once hashed.
    static std::atomic<unsigned> count{0};
    const std::string scratch =
        local_join(scratch_.path(), ".brevanto-check." + std::to_string(getpid()) + "." +
                                     std::to_string(count++));
    status = session.client().downloadfile(widen(scratch).c_str(), wide_remote.c_str(),
                                           kOverwrite, nullptr, nullptr);
    if (status == 0) {
      FileHash hash;
      std::string error;
      if (!hash_file(scratch, hash, error)) {
        problem(entry.path + ": cannot read the downloaded copy: " + error, entry.path);
      } else if (!(entry.lost & kLostSize) && hash.size != entry.size) {
        problem(entry.path + ": stored size " + std::to_string(hash.size) +
                    ", the manifest says " + std::to_string(entry.size),
                entry.path);
      } else if (hash.sha256 != entry.sha256) {
        problem(entry.path + ": SHA-256 differs from the manifest", entry.path);
      }
    }
    unlink(scratch.c_str());
  }
  if (status == 0) return JobOutcome::kContinue;
  problem(remote + " (" + entry.path + "): " + session.failure(status), entry.path);
  if (!connection_lost(status, session.cloud())) return JobOutcome::kContinue;
  std::lock_guard<std::mutex> lock(mutex_);
  connection_lost_ = true;
  return JobOutcome::kStopAll;
}

}  // namespace

int run_check(Session& session, const CheckOptions& options) {
  const InterruptGuard guard;
  Check check(session, options);
  return check.run();
}
