// Commands that shape the storage tree: mkdir, rmdir, purge, rm. Each
// returns an exit code (exit_codes.h) and prints its failures to stderr.
#ifndef BREVANTO_CLI_DIRECTORY_COMMANDS_H_
#define BREVANTO_CLI_DIRECTORY_COMMANDS_H_

#include <string>

#include "cli/remote/session.h"

int run_mkdir(Session& session, const std::string& path);
// rmdir removes an empty directory and refuses one with content; purge
// removes a directory with everything in it; rm removes only files.
int run_rmdir(Session& session, const std::string& path);
int run_purge(Session& session, const std::string& path);
int run_rm(Session& session, const std::string& path);

#endif  // BREVANTO_CLI_DIRECTORY_COMMANDS_H_
