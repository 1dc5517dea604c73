// restore: copies a backup (a storage directory with its manifest) into a
// local directory, or one stored file into it, and checks the restored
// files when asked.
#ifndef BREVANTO_CLI_RESTORE_H_
#define BREVANTO_CLI_RESTORE_H_

#include <cstddef>
#include <string>

#include "cli/output/progress.h"
#include "cli/remote/session.h"

struct RestoreOptions {
  std::string remote_dir;
  std::string local_dir;
  bool verify = false;
  // Restore setuid, setgid and sticky bits too; without it, permission bits
  // (0777) only.
  bool special_bits = false;
  std::size_t transfers = 4;  // clients at work at once
  // A point in time (history.h): restore the backup as it was then, from
  // the point its then newest version was completed at. Empty: as it is.
  std::string at;
};

// With a manifest, restores exactly its files and directories, with their
// modes and modification times, and with `verify` checks each file's size
// and SHA-256 against it; stored files it does not list are left alone.
// Without one, restores what a listing shows (and cannot verify). Nothing
// is created when the local service refuses the local directory. Returns
// an exit code; 1 when a file could not be restored or does not match, or
// a manifest line could not be read (the other lines are restored). Nothing
// is written through a symbolic link inside the target. SIGINT or SIGTERM
// ends the process at once with kInterrupted.
int run_restore(Session& session, ProgressMode mode, const RestoreOptions& options);

#endif  // BREVANTO_CLI_RESTORE_H_
