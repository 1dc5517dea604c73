#include "service/errors.h"

#include <cerrno>
#include <cstring>

const char* error_text(ErrorCode code) {
  switch (code) {
    case kNotLoggedIn: return "not logged in";
    case kBadRequest: return "bad request";
    case kNotFound: return "not found";
    case kAlreadyExists: return "already exists";
    case kInvalidPath: return "invalid path";
    case kLocalRefused: return "local path refused";
    case kDiskFull: return "disk full";
    case kInternal: return "internal error";
    case kWrongLogin: return "wrong user or password";
    case kNotADirectory: return "not a directory";
    case kIsADirectory: return "is a directory";
    case kSourceChanged: return "local file changed during the transfer";
    case kLoginThrottled: return "too many failed logins, try again later";
    case kBusy: return "too many sessions, try again later";
    case kReadOnly: return "read-only: earlier versions, and a storage root served read-only, cannot be changed";
  }
  return "internal error";
}

ErrorCode storage_error_code(int err, ErrorCode fallback) {
  switch (err) {
    case ENOENT: return kNotFound;
    case EEXIST: return kAlreadyExists;
    case ENOSPC:
    case EDQUOT: return kDiskFull;
    case ENOTDIR: return kNotADirectory;
    case EISDIR: return kIsADirectory;
    case ELOOP:
    case ENAMETOOLONG: return kInvalidPath;
    default: return fallback;
  }
}

ErrorCode local_error_code(int err) {
  return (err == ENOSPC || err == EDQUOT) ? kDiskFull : kLocalRefused;
}

void throw_errno(ErrorCode code, int err, const std::string& what) {
  throw ServiceError(code, what + ": " + std::strerror(err));
}
