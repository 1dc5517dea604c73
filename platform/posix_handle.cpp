// Handles, processes and the last error.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix_error.h"
#include "platform/posix_handle.h"
#include "platform/win32.h"

namespace win32 {

HANDLE GetCurrentProcess() {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
}

DWORD GetLastError() { return posix::LastError(); }

BOOL CloseHandle(HANDLE object) {
  if (object == GetCurrentProcess()) return TRUE;
  const int fd = posix::FdFromHandle(object);
  if (fd < 0) return posix::Fail(ERROR_INVALID_HANDLE);
  // The descriptor is released even when close reports EINTR.
  if (close(fd) != 0 && errno != EINTR) return posix::Fail(posix::SystemError(errno));
  return TRUE;
}

BOOL DuplicateHandle(HANDLE source_process, HANDLE source, HANDLE target_process,
                     HANDLE* target, DWORD /*desired_access*/, BOOL inherit,
                     DWORD options) {
  if (source_process != GetCurrentProcess() || target_process != GetCurrentProcess()) {
    return posix::Fail(ERROR_INVALID_HANDLE);
  }
  const int fd = posix::FdFromHandle(source);
  if (fd < 0) return posix::Fail(ERROR_INVALID_HANDLE);
  int copy = -1;
  int err = 0;
  if (target != nullptr) {
    copy = fcntl(fd, inherit ? F_DUPFD : F_DUPFD_CLOEXEC, 0);
    if (copy < 0) err = errno;
  }
  if (options & DUPLICATE_CLOSE_SOURCE) close(fd);
  if (err != 0) return posix::Fail(posix::SystemError(err));
  if (target != nullptr) *target = posix::HandleFromFd(copy);
  return TRUE;
}

}  // namespace win32
