// Commands that move one file: put, update, get. Each returns an exit code
// (exit_codes.h) and prints its failures to stderr.
#ifndef BREVANTO_CLI_TRANSFER_COMMANDS_H_
#define BREVANTO_CLI_TRANSFER_COMMANDS_H_

#include <string>

#include "cli/output/progress.h"
#include "cli/remote/session.h"

// Uploads a new file (update: replaces a stored one). A remote path ending in
// a separator names the directory to upload into.
int run_put(Session& session, ProgressMode mode, const std::string& local,
            const std::string& remote, bool update);
// Downloads a stored file; an existing local directory receives it under
// the stored name.
int run_get(Session& session, ProgressMode mode, const std::string& remote,
            const std::string& local);

#endif  // BREVANTO_CLI_TRANSFER_COMMANDS_H_
