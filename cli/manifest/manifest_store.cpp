#include "cli/manifest/manifest_store.h"

#include <unistd.h>

#include <filesystem>

#include "cli/local/local_file.h"
#include "cli/output/output.h"
#include "cli/remote/storage_path.h"
#include "cli/text.h"

namespace {

// The local service's "not found"; the cloud library's.
constexpr int kServiceNotFound = 3;
constexpr int kCloudNotFound = -1003;

}  // namespace

FetchResult fetch_manifest(Session& session, const std::string& remote_root,
                           const std::string& scratch_dir, Manifest& manifest,
                           std::string& error, const ManifestFileSink& take_file) {
  const std::string scratch = unused_path(scratch_dir, kManifestName);
  const std::string remote = storage_join(remote_root, kManifestName);
  CBrevanto& client = session.client();
  const int status = client.downloadfile(widen(scratch).c_str(), widen(remote).c_str(),
                                         kOverwrite, nullptr, nullptr);
  if (status != 0) {
    unlink(scratch.c_str());
    if ((status == -3 && client.error_code() == kServiceNotFound) || status == kCloudNotFound) {
      return FetchResult::kMissing;
    }
    error = session.failure(status);
    return FetchResult::kFailed;
  }
  const bool read = read_manifest_file(scratch, manifest, error, take_file);
  unlink(scratch.c_str());
  return read ? FetchResult::kFetched : FetchResult::kFailed;
}

bool store_manifest(Session& session, const Manifest& manifest, const std::string& remote_root,
                    const std::string& scratch_dir, bool stored, std::string& error) {
  std::string scratch;
  // Written block by block: the text of a large manifest is never held whole.
  const auto fill = [&manifest](const ScratchBlockWriter& write) {
    return write_manifest(manifest, write);
  };
  if (!write_scratch_file(scratch_dir, kManifestName, fill, scratch, error) &&
      !write_scratch_file(std::filesystem::temp_directory_path().string(), kManifestName, fill,
                          scratch, error)) {
    error = "cannot write the manifest: " + error;
    return false;
  }
  const std::wstring local = widen(scratch);
  const std::wstring remote = widen(storage_join(remote_root, kManifestName));
  const int status = stored ? session.replace(local, remote, nullptr, nullptr)
                            : session.client().addfile(local.c_str(), remote.c_str(), nullptr,
                                                       nullptr);
  unlink(scratch.c_str());
  if (status != 0) error = session.failure(status);
  return status == 0;
}

std::size_t report_manifest_problems(const std::string& what, const Manifest& manifest) {
  const std::size_t count = manifest.problems.size();
  for (std::size_t i = 0; i < count && i < kManifestProblemsShown; ++i) {
    print_error(what + ": manifest " + manifest.problems[i] + "; skipped");
  }
  if (count > kManifestProblemsShown) {
    print_error(what + ": manifest: " + std::to_string(count - kManifestProblemsShown) +
                " more malformed lines skipped");
  }
  return count;
}
