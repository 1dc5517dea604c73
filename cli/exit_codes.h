// Exit codes of the brevanto command.
#ifndef BREVANTO_CLI_EXIT_CODES_H_
#define BREVANTO_CLI_EXIT_CODES_H_

namespace exit_codes {

constexpr int kOk = 0;
// An operation failed, a path does not exist (exists), restored files
// differ from the manifest (restore --verify), or a restore brought every
// entry back but some without metadata a damaged manifest lost (a partial
// success exits as a partial failure does).
constexpr int kFailed = 1;
// The command line is wrong.
constexpr int kUsage = 2;
// No session: the service is not reachable, another user's program listens
// on its port (the password is not sent), the login was refused, or the
// connection broke during the command.
constexpr int kNoSession = 3;
// SIGINT or SIGTERM stopped a backup, restore, get, put or update (128 +
// SIGINT, as shells report it).
constexpr int kInterrupted = 130;

}  // namespace exit_codes

#endif  // BREVANTO_CLI_EXIT_CODES_H_
