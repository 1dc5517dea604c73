#include "cli/restore.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <list>
#include <set>
#include <system_error>
#include <vector>

#include "cli/exit_codes.h"
#include "cli/local_file.h"
#include "cli/local_path.h"
#include "cli/manifest.h"
#include "cli/status.h"
#include "cli/storage_path.h"
#include "cli/text.h"
#include "cli/units.h"
#include "cli/verify.h"

namespace fs = std::filesystem;

namespace {

struct RemoteEntry {
  std::string relative;  // '/' separators
  bool is_dir = false;
  std::uint64_t size = 0;
};

// A relative path is safe to create below the restore directory when none of
// its components is empty, "." or "..".
bool is_safe_relative(const std::string& relative) {
  std::size_t from = 0;
  for (;;) {
    const std::size_t cut = relative.find('/', from);
    const std::string part = relative.substr(from, cut - from);
    if (part.empty() || part == "." || part == "..") return false;
    if (cut == std::string::npos) return true;
    from = cut + 1;
  }
}

// Lists the backup; the manifest is reported apart, not restored.
int list_backup(Session& session, const std::string& remote_root,
                std::vector<RemoteEntry>& entries, bool& has_manifest) {
  std::list<_path_buffer*> listing;
  const int status = session.client().getfilelist(widen(remote_root).c_str(), true, listing);
  for (const _path_buffer* item : listing) {
    if (!item) continue;
    const std::string full = narrow(item->full_path);
    const std::optional<std::string> relative = storage_relative(full, remote_root);
    if (!relative || relative->empty()) continue;
    if (*relative == kManifestName && item->is_dir != 1) {
      has_manifest = true;
    } else if (!is_safe_relative(*relative)) {
      std::fprintf(stderr, "restore: skipped %s: unsafe path\n", full.c_str());
    } else {
      entries.push_back(RemoteEntry{*relative, item->is_dir == 1, 0});
    }
  }
  session.client().releasefilelist(listing);
  std::sort(entries.begin(), entries.end(),
            [](const RemoteEntry& a, const RemoteEntry& b) { return a.relative < b.relative; });
  return status;
}

// Downloads the manifest into a scratch file below the restore directory,
// where the service may write, and parses it.
bool fetch_manifest(Session& session, const std::string& remote_root,
                    const std::string& local_root, std::vector<ManifestEntry>& manifest) {
  const std::string scratch = unused_path(local_root, kManifestName);
  const std::string remote = storage_join(remote_root, kManifestName);
  const int status = session.client().downloadfile(widen(scratch).c_str(), widen(remote).c_str(),
                                                   kOverwrite, nullptr, nullptr);
  if (status != 0) {
    std::fprintf(stderr, "restore: manifest %s: %s\n", remote.c_str(),
                 session.failure(status).c_str());
    unlink(scratch.c_str());
    return false;
  }
  std::string text;
  std::string error;
  const bool read = read_whole_file(scratch, text, error);
  unlink(scratch.c_str());
  if (!read || !parse_manifest(text, manifest, error)) {
    std::fprintf(stderr, "restore: manifest %s: %s\n", remote.c_str(), error.c_str());
    return false;
  }
  return true;
}

}  // namespace

int run_restore(Session& session, ProgressMode mode, const std::string& typed_remote,
                const std::string& typed_local, bool verify) {
  const std::string remote_root = to_storage_path(typed_remote);
  const std::string local_root = absolute_local(typed_local);
  std::error_code error;
  fs::create_directories(local_root, error);
  if (error) {
    std::fprintf(stderr, "restore: cannot create %s: %s\n", local_root.c_str(),
                 error.message().c_str());
    return exit_codes::kFailed;
  }
  if (const int rc = session.open()) return rc;
  CBrevanto& client = session.client();

  std::vector<RemoteEntry> entries;
  bool has_manifest = false;
  if (const int status = list_backup(session, remote_root, entries, has_manifest)) {
    return session.fail("restore: ls " + remote_root, status);
  }
  // Sizes first, so the overall progress knows the total.
  std::size_t files = 0;
  std::uint64_t bytes = 0;
  for (RemoteEntry& entry : entries) {
    if (entry.is_dir) continue;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    int backup_type = 0;
    int reversion = 0;
    const std::wstring remote = widen(storage_join(remote_root, entry.relative));
    if (client.getfileinfo(remote.c_str(), data, backup_type, reversion) == 0) {
      entry.size = join_halves(data.nFileSizeHigh, data.nFileSizeLow);
    }
    ++files;
    bytes += entry.size;
  }

  std::size_t failed = 0;
  std::set<std::string> restored;
  Progress progress(mode);
  progress.start_job(files, bytes);
  for (const RemoteEntry& entry : entries) {
    const std::string local = local_join(local_root, entry.relative);
    fs::create_directories(entry.is_dir ? fs::path(local) : fs::path(local).parent_path(), error);
    if (error) {
      progress.message("restore: cannot create " + local + ": " + error.message());
      ++failed;
      continue;
    }
    if (entry.is_dir) continue;
    const std::string remote = storage_join(remote_root, entry.relative);
    progress.start_file(entry.relative, entry.size);
    const int status = client.downloadfile(widen(local).c_str(), widen(remote).c_str(), kOverwrite,
                                           Progress::on_progress, &progress);
    if (status != 0) {
      progress.abandon_file();
      progress.message("restore: get " + remote + ": " + session.failure(status));
      ++failed;
      if (connection_lost(status, session.cloud())) return exit_codes::kNoSession;
      continue;
    }
    const std::uintmax_t size = fs::file_size(local, error);
    progress.finish_file("restored", error ? entry.size : size);
    restored.insert(entry.relative);
  }
  progress.close();
  std::printf("restore: %s -> %s: %zu files (%s), %zu failed\n", remote_root.c_str(),
              local_root.c_str(), files, human_bytes(bytes).c_str(), failed);
  if (!verify) return failed == 0 ? exit_codes::kOk : exit_codes::kFailed;

  std::vector<ManifestEntry> manifest;
  if (!has_manifest) {
    std::fprintf(stderr, "restore: %s holds no manifest; nothing to verify against\n",
                 remote_root.c_str());
    return exit_codes::kFailed;
  }
  if (!fetch_manifest(session, remote_root, local_root, manifest)) return exit_codes::kFailed;
  const std::vector<std::string> problems = verify_tree(local_root, manifest, restored);
  for (const std::string& problem : problems) {
    std::fprintf(stderr, "verify: %s\n", problem.c_str());
  }
  if (problems.empty()) {
    std::printf("verify: all %zu files match the manifest\n", manifest.size());
  } else {
    std::printf("verify: %zu problems in %zu files\n", problems.size(), manifest.size());
  }
  return failed == 0 && problems.empty() ? exit_codes::kOk : exit_codes::kFailed;
}
