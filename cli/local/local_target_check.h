// Before restore or get create anything: does the local service accept the
// local target? The service writes local files itself, with the user's
// rights, and only below its --local-root folders when it has any.
#ifndef BREVANTO_CLI_LOCAL_TARGET_CHECK_H_
#define BREVANTO_CLI_LOCAL_TARGET_CHECK_H_

#include <string>

#include "cli/remote/session.h"

// Sends one download of a storage path in `remote_dir` that no backup
// holds, to `local_path`. The service checks the local path first: a refusal
// (service error 6, whose text says what is allowed) is printed as
// "<command>: cannot <access> <shown>: <service text>" (by default "write"
// and `local_path`) and gives kFailed;
// not found means the target is accepted: kOk. The cloud back end writes
// anywhere the user may: no request, kOk.
int check_local_target(Session& session, const std::string& command,
                       const std::string& remote_dir, const std::string& local_path,
                       const std::string& shown = std::string(), const char* access = "write");

// The same question without a word: true when the service accepts
// `local_path` (or the back end is the cloud's), false when it refuses it
// or the request fails otherwise (`status` then holds the result).
bool local_target_accepted(Session& session, const std::string& remote_dir,
                           const std::string& local_path, int& status);

#endif  // BREVANTO_CLI_LOCAL_TARGET_CHECK_H_
