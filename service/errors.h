// The error numbers the service reports in errcode, with their errtext.
//
//    1  not logged in            unknown, forged or logged-out ClientID
//    2  bad request              malformed, oversized or unknown request,
//                                missing attribute
//    3  not found                the storage path does not exist
//    4  already exists           AddFile on an existing storage entry
//    5  invalid path             "..", ".", '/' in a component, a symbolic
//                                link, a reserved name, bad UTF-8, too long
//    6  local path refused       the local file is outside every local root,
//                                unreadable or unwritable
//    7  disk full                ENOSPC or EDQUOT on either side
//    8  internal error           anything else; details go to the log only
//    9  wrong user or password   login refused
//   10  not a directory          a file stands where a directory is needed
//   11  is a directory           a directory stands where a file is needed
//   12  local file changed ...   the local file's size or modification time
//                                changed while it was uploaded
//   13  too many failed logins   the account name is slowed down or locked
//                                after failed logins; try again later
//   14  too many sessions        every session slot is taken
//   15  read-only                a change below \.history, whose earlier
//                                versions cannot be changed, or of a
//                                storage root served with --read-only
#ifndef BREVANTO_SERVICE_ERRORS_H_
#define BREVANTO_SERVICE_ERRORS_H_

#include <stdexcept>
#include <string>

enum ErrorCode {
  kNotLoggedIn = 1,
  kBadRequest = 2,
  kNotFound = 3,
  kAlreadyExists = 4,
  kInvalidPath = 5,
  kLocalRefused = 6,
  kDiskFull = 7,
  kInternal = 8,
  kWrongLogin = 9,
  kNotADirectory = 10,
  kIsADirectory = 11,
  kSourceChanged = 12,
  kLoginThrottled = 13,
  kBusy = 14,
  kReadOnly = 15,
};

// The short English errtext of `code`; never holds a double quote.
const char* error_text(ErrorCode code);

// A failed request: `code` goes to the client, what() to the log only.
class ServiceError : public std::runtime_error {
 public:
  ServiceError(ErrorCode code, const std::string& detail)
      : std::runtime_error(detail), code_(code) {}
  ErrorCode code() const { return code_; }

 private:
  ErrorCode code_;
};

// An account's quota is reached: a disk-full error whose detail the
// client is told, so that its user can tell it from a full disk.
class QuotaReached : public ServiceError {
 public:
  explicit QuotaReached(const std::string& detail) : ServiceError(kDiskFull, detail) {}
};

// The code for a failed system call on the storage side: ENOENT is
// kNotFound, ENOSPC kDiskFull, and so on; anything unexpected `fallback`.
ErrorCode storage_error_code(int err, ErrorCode fallback);

// The code for a failed call on the local side: kDiskFull for a full disk,
// kLocalRefused for everything else.
ErrorCode local_error_code(int err);

// Throws ServiceError(code) with "<what>: <strerror(err)>" as the detail.
[[noreturn]] void throw_errno(ErrorCode code, int err, const std::string& what);

#endif  // BREVANTO_SERVICE_ERRORS_H_
