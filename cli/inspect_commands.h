// Commands that read the storage: ls, stat, exists, df. Each returns an exit
// code (exit_codes.h) and prints its failures to stderr.
#ifndef BREVANTO_CLI_INSPECT_COMMANDS_H_
#define BREVANTO_CLI_INSPECT_COMMANDS_H_

#include <string>

#include "cli/session.h"

// One line per entry, sorted; directories end in '\'.
int run_ls(Session& session, const std::string& path, bool recursive);
int run_stat(Session& session, const std::string& path);
// Exit code 0 when the path exists, 1 when not.
int run_exists(Session& session, const std::string& path);
int run_df(Session& session);

#endif  // BREVANTO_CLI_INSPECT_COMMANDS_H_
