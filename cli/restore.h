// restore: copies a storage directory tree into a local directory and, when
// asked, checks the restored files against the backup's manifest.
#ifndef BREVANTO_CLI_RESTORE_H_
#define BREVANTO_CLI_RESTORE_H_

#include <string>

#include "cli/progress.h"
#include "cli/session.h"

// Returns an exit code; 1 when a file could not be restored or, with
// `verify`, when a file is missing, differs from the manifest or is not
// listed in it.
int run_restore(Session& session, ProgressMode mode, const std::string& remote_dir,
                const std::string& local_dir, bool verify);

#endif  // BREVANTO_CLI_RESTORE_H_
