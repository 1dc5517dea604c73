// The manifest's trips to and from the storage. The local service moves only
// files it may open itself, so the manifest travels through a scratch file
// "<dir>/.brevanto-manifest.*" (top-level names a backup never takes),
// removed at once.
#ifndef BREVANTO_CLI_MANIFEST_STORE_H_
#define BREVANTO_CLI_MANIFEST_STORE_H_

#include <cstddef>
#include <string>

#include "cli/manifest/manifest.h"
#include "cli/remote/session.h"

enum class FetchResult { kFetched, kMissing, kFailed };

// Downloads and parses "<remote_root>\.brevanto-manifest" through a scratch
// file in `scratch_dir`. kMissing when the storage holds none; kFailed with
// `error` set when it cannot be fetched. Lines that cannot be read are in
// manifest.problems; the others are kept. With `take_file`, each file goes
// there as it is read instead of to manifest.files (read_manifest_file).
FetchResult fetch_manifest(Session& session, const std::string& remote_root,
                           const std::string& scratch_dir, Manifest& manifest,
                           std::string& error, const ManifestFileSink& take_file = nullptr);

// Uploads the manifest (replacing the stored one when `stored` says there
// is one) through a scratch file in `scratch_dir`, else in the temporary
// directory. False with `error` set when that fails.
bool store_manifest(Session& session, const Manifest& manifest, const std::string& remote_root,
                    const std::string& scratch_dir, bool stored, std::string& error);

// How many of a manifest's unreadable lines are printed; the rest are counted.
constexpr std::size_t kManifestProblemsShown = 20;

// Prints manifest.problems as "<what>: manifest line 7 is malformed;
// skipped", the first kManifestProblemsShown of them and then how many more;
// returns how many there are.
std::size_t report_manifest_problems(const std::string& what, const Manifest& manifest);

#endif  // BREVANTO_CLI_MANIFEST_STORE_H_
