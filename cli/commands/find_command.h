// find: which backups, at which points, held entries matching a pattern
// (path_pattern.h), with their sizes, times and modes, as restic's find
// tells which snapshots hold them.
#ifndef BREVANTO_CLI_FIND_COMMAND_H_
#define BREVANTO_CLI_FIND_COMMAND_H_

#include <string>

#include "cli/remote/session.h"

struct FindOptions {
  std::string pattern;
  // A backup folder; empty: every backup folder the storage holds now.
  std::string remote;
  bool ignore_case = false;
  // A local folder the service may write, for the manifests' trips.
  std::string scratch_dir;  // empty: a private folder (scratch_folder.h)
};

// Reads the manifest of each backup of the folder (each point at which a
// new version of it appears, as `snapshots REMOTE` lists them) and prints
// the matching entries point by point, oldest first; points without a
// match are left out. Exit code 0 when something matched, 1 when nothing
// did or a manifest could not be read.
int run_find(Session& session, const FindOptions& options);

#endif  // BREVANTO_CLI_FIND_COMMAND_H_
