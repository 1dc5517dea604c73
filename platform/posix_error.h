// Per-thread last error of the POSIX platform layer, and errno translation.
//
// As on Windows, GetLastError and WSAGetLastError read one value: socket
// calls store Winsock codes in it, file calls system error codes.
#ifndef BREVANTO_PLATFORM_POSIX_ERROR_H_
#define BREVANTO_PLATFORM_POSIX_ERROR_H_

#include "platform/win32.h"

namespace win32 {
namespace posix {

void SetLastError(DWORD code);
DWORD LastError();

// The Winsock code for a socket call that failed with `err`.
int WinsockError(int err);
// The system error code for a file call that failed with `err`.
DWORD SystemError(int err);
// As SystemError for a call on `path` (UTF-8); ENOENT is ERROR_PATH_NOT_FOUND
// when the directory that would hold `path` does not exist.
DWORD PathError(int err, const char* path);

// Records `code` as the last error and returns FALSE: how a BOOL call fails.
inline BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

}  // namespace posix
}  // namespace win32

#endif  // BREVANTO_PLATFORM_POSIX_ERROR_H_
