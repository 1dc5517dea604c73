// Turns the library's status codes into messages and exit codes.
#ifndef BREVANTO_CLI_STATUS_H_
#define BREVANTO_CLI_STATUS_H_

#include <string>

// The command that moves a cloud account to the next plan, as the messages
// about a full plan name it.
inline constexpr char kPlanUpgradeCommand[] = "brevanto --backend cloud plan --upgrade";

// "failed with -3 (service error 5: already exists)", for a non-zero status.
// `error_code` and `error_msg` are the client's error state, read for -3.
// A full cloud plan names kPlanUpgradeCommand; a local account's quota
// reached names the service option that sets it.
std::string describe_failure(int status, int error_code, const std::wstring& error_msg,
                             bool cloud);

// True when the connection to the local service is gone (socket error, or
// -1 for a closed connection), so further requests are pointless.
bool connection_lost(int status, bool cloud);

// kNoSession for socket errors (the service is gone), kFailed otherwise.
int exit_code_for(int status);

#endif  // BREVANTO_CLI_STATUS_H_
