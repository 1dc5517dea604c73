#include "cli/output/status.h"

#include "cli/exit_codes.h"
#include "cli/text.h"

namespace {

constexpr int kServiceDiskFull = 7;

// Windows Sockets codes the library passes through on broken connections.
std::string socket_error_text(int status) {
  switch (status) {
    case 10061: return "the service is not reachable: nothing listens on 127.0.0.1:11001";
    case 10060: return "the service is not reachable: the connection timed out";
    case 10054: return "the service reset the connection";
    case 10053: return "the connection to the service was aborted";
    case 10057: return "not connected to the service";
    case 10050:
    case 10051:
    case 10065: return "the service is not reachable: network unreachable";
    default: return "socket error " + std::to_string(status);
  }
}

// Result codes of the Quorvel cloud library, which the facade passes through.
std::string cloud_error_text(int status) {
  switch (status) {
    case -2: return "not supported by the cloud back end";
    case -1001: return "cloud: not logged in";
    case -1002: return "cloud: user or password does not match the account";
    case -1003: return "cloud: no such file or directory";
    case -1004: return "cloud: exists already";
    case -1005: return "cloud: invalid storage path";
    case -1006:
      return std::string("cloud: the plan is full, the upload would exceed its quota; ") +
             kPlanUpgradeCommand + " moves the account to the next plan";
    case -1007: return "cloud: cancelled";
    case -1008: return "cloud: reading or writing a file failed";
    case -1010: return "cloud: already on the largest plan";
    case -1011: return "cloud: invalid argument";
    case -1012: return "cloud: a directory where a file is needed, or the reverse";
    default: return "cloud library error " + std::to_string(status);
  }
}

}  // namespace

std::string describe_failure(int status, int error_code, const std::wstring& error_msg,
                             bool cloud) {
  std::string reason;
  if (cloud) {
    reason = cloud_error_text(status);
  } else if (status == -3) {
    reason = "service error " + std::to_string(error_code);
    if (!error_msg.empty()) reason += ": " + narrow(error_msg);
    // The service names a quota in its disk-full text ("disk full: the
    // quota of account ann is reached: ...").
    if (error_code == kServiceDiskFull && error_msg.find(L"quota of account") != std::wstring::npos) {
      reason += "; the service's administrator sets the account's quota "
                "(brevanto-service --add-user NAME --quota-bytes SIZE)";
    }
  } else if (status == -2) {
    reason = "not supported by the local service back end";
  } else if (status == -1) {
    // The command line sends no empty path and no double quote (it refuses
    // them first), so -1 is the other case the library means by it.
    reason = "the service closed the connection";
  } else if (status == 1) {
    reason = "the service's reply held no tag";
  } else if (status > 0) {
    reason = socket_error_text(status);
  } else {
    reason = "unknown status";
  }
  return "failed with " + std::to_string(status) + " (" + reason + ")";
}

int exit_code_for(int status) {
  if (status == 0) return exit_codes::kOk;
  return status > 0 ? exit_codes::kNoSession : exit_codes::kFailed;
}

bool connection_lost(int status, bool cloud) { return !cloud && (status > 0 || status == -1); }
