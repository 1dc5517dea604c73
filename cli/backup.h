// backup: copies a local directory tree into a storage directory and stores
// the tree's SHA-256 manifest beside it.
#ifndef BREVANTO_CLI_BACKUP_H_
#define BREVANTO_CLI_BACKUP_H_

#include <string>

#include "cli/progress.h"
#include "cli/session.h"

// Directories missing in the storage are created; files are uploaded when
// new and updated when they exist. Returns an exit code; 1 when any entry
// could not be backed up.
int run_backup(Session& session, ProgressMode mode, const std::string& local_dir,
               const std::string& remote_dir);

#endif  // BREVANTO_CLI_BACKUP_H_
