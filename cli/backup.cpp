#include "cli/backup.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "cli/exit_codes.h"
#include "cli/file_hash.h"
#include "cli/local_file.h"
#include "cli/local_path.h"
#include "cli/local_tree.h"
#include "cli/manifest.h"
#include "cli/status.h"
#include "cli/storage_path.h"
#include "cli/text.h"
#include "cli/units.h"

namespace {

struct Tally {
  std::size_t added = 0;
  std::size_t updated = 0;
  std::size_t dirs_created = 0;
  std::size_t failed = 0;
};

// Creates every missing directory of `path`, from the root down.
int ensure_storage_dir(CBrevanto& client, const std::string& path, Tally& tally) {
  std::string prefix;
  std::size_t from = 1;
  while (from <= path.size()) {
    std::size_t cut = path.find('\\', from);
    if (cut == std::string::npos) cut = path.size();
    prefix = path.substr(0, cut);
    from = cut + 1;
    if (prefix.size() <= 1) continue;
    const std::wstring wide = widen(prefix);
    if (client.is_path_exists(wide.c_str())) continue;
    if (const int status = client.adddir(wide.c_str())) return status;
    ++tally.dirs_created;
  }
  return 0;
}

// Uploads a file as new or as a replacement, whichever the storage needs.
int store_file(Session& session, const std::string& local, const std::string& remote,
               Progress& progress, bool& was_update) {
  CBrevanto& client = session.client();
  const std::wstring wide_local = widen(local);
  const std::wstring wide_remote = widen(remote);
  was_update = client.is_path_exists(wide_remote.c_str());
  return was_update ? session.replace(wide_local, wide_remote, Progress::on_progress, &progress)
                    : client.addfile(wide_local.c_str(), wide_remote.c_str(),
                                     Progress::on_progress, &progress);
}

// Writes the manifest to a scratch file (inside the backed-up directory, which
// the service can read, else the temporary directory) and uploads it.
bool store_manifest(Session& session, const std::vector<ManifestEntry>& manifest,
                    const std::string& local_root, const std::string& remote_root,
                    Progress& progress) {
  std::string scratch;
  std::string error;
  const std::string content = format_manifest(manifest);
  if (!write_scratch_file(local_root, kManifestName, content, scratch, error) &&
      !write_scratch_file(std::filesystem::temp_directory_path().string(), kManifestName,
                          content, scratch, error)) {
    progress.message(std::string("backup: cannot write the manifest: ") + error);
    return false;
  }
  const std::string remote = storage_join(remote_root, kManifestName);
  bool was_update = false;
  const int status = store_file(session, scratch, remote, progress, was_update);
  unlink(scratch.c_str());
  if (status != 0) {
    progress.message("backup: manifest " + remote + ": " + session.failure(status));
    return false;
  }
  return true;
}

}  // namespace

int run_backup(Session& session, ProgressMode mode, const std::string& typed_local,
               const std::string& typed_remote) {
  const std::string local_root = absolute_local(typed_local);
  const std::string remote_root = to_storage_path(typed_remote);
  std::error_code error;
  if (!std::filesystem::is_directory(local_root, error)) {
    std::fprintf(stderr, "backup: %s is not a directory\n", local_root.c_str());
    return exit_codes::kFailed;
  }
  const LocalTree tree = walk_local_tree(local_root, kManifestName);
  Tally tally;
  for (const std::string& problem : tree.problems) {
    std::fprintf(stderr, "backup: skipped %s\n", problem.c_str());
    ++tally.failed;
  }
  if (const int rc = session.open()) return rc;
  CBrevanto& client = session.client();

  if (const int status = ensure_storage_dir(client, remote_root, tally)) {
    return session.fail("backup: mkdir " + remote_root, status);
  }
  Progress progress(mode);
  progress.start_job(tree.files, tree.bytes);
  std::vector<ManifestEntry> manifest;
  for (const LocalEntry& entry : tree.entries) {
    const std::string remote = storage_join(remote_root, entry.relative);
    if (entry.is_dir) {
      const std::wstring wide = widen(remote);
      if (client.is_path_exists(wide.c_str())) continue;
      const int status = client.adddir(wide.c_str());
      if (status == 0) {
        ++tally.dirs_created;
        continue;
      }
      progress.message("backup: mkdir " + remote + ": " + session.failure(status));
      ++tally.failed;
      if (connection_lost(status, session.cloud())) return exit_codes::kNoSession;
      continue;
    }
    const std::string local = local_join(local_root, entry.relative);
    progress.start_file(entry.relative, entry.size);
    FileHash hash;
    std::string hash_error;
    if (!hash_file(local, hash, hash_error)) {
      progress.abandon_file();
      progress.message("backup: cannot read " + local + ": " + hash_error);
      ++tally.failed;
      continue;
    }
    bool was_update = false;
    const int status = store_file(session, local, remote, progress, was_update);
    if (status != 0) {
      progress.abandon_file();
      progress.message(std::string("backup: ") + (was_update ? "update " : "put ") + remote +
                       ": " + session.failure(status));
      ++tally.failed;
      if (connection_lost(status, session.cloud())) return exit_codes::kNoSession;
      continue;
    }
    progress.finish_file(was_update ? "updated" : "added", hash.size);
    ++(was_update ? tally.updated : tally.added);
    manifest.push_back(ManifestEntry{hash.sha256_hex, hash.size, entry.relative});
  }
  if (!store_manifest(session, manifest, local_root, remote_root, progress)) ++tally.failed;
  progress.close();

  std::printf("backup: %s -> %s: %zu files (%s), %zu added, %zu updated, "
              "%zu directories created, %zu failed\n",
              local_root.c_str(), remote_root.c_str(), tree.files,
              human_bytes(tree.bytes).c_str(), tally.added, tally.updated,
              tally.dirs_created, tally.failed);
  return tally.failed == 0 ? exit_codes::kOk : exit_codes::kFailed;
}
