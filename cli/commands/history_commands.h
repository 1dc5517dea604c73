// Commands over the storage's earlier versions (history.h): snapshots and
// diff. Each returns an exit code (exit_codes.h) and prints its failures to
// stderr.
#ifndef BREVANTO_CLI_HISTORY_COMMANDS_H_
#define BREVANTO_CLI_HISTORY_COMMANDS_H_

#include <string>
#include <vector>

#include "cli/commands/backup.h"
#include "cli/remote/session.h"

struct SnapshotsOptions {
  std::string remote;  // a backup folder, or empty: every point
  // A local folder the service may write into, for the manifests' trips;
  // empty: a private one (scratch_folder.h).
  std::string scratch_dir;
};

// The points of "\.history", oldest first, with their times. For a backup
// folder: the points at which a new version of its manifest appears (one a
// backup), each with its files and bytes (one manifest download each).
int run_snapshots(Session& session, const SnapshotsOptions& options);

struct DiffOptions {
  // [FROM [TO]] REMOTE: points in time (history.h) and a backup folder.
  std::vector<std::string> args;
  std::string scratch_dir;  // as SnapshotsOptions'
  // --local: the last backup against this local directory, walked as a
  // backup with these options would walk it (local_dir set).
  BackupOptions local;
};

// Prints what changed, one line a path ("M    /docs/a.txt", as restic's
// diff), then the counts; compares the manifests only (path, kind, size,
// SHA-256, mode, a link's target). FROM and TO: points; TO missing, the
// backup as it is now; with --local, the backup as it is now against the
// local tree (a file whose size or time differs from the manifest is read
// for its SHA-256).
int run_diff(Session& session, const DiffOptions& options);

#endif  // BREVANTO_CLI_HISTORY_COMMANDS_H_
