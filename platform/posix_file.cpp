// File handles over descriptors: open, write, seek, flush.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix_error.h"
#include "platform/posix_handle.h"
#include "platform/posix_utf8.h"
#include "platform/win32.h"

namespace win32 {

namespace {

HANDLE FailOpen(DWORD code) {
  posix::SetLastError(code);
  return INVALID_HANDLE_VALUE;
}

int Open(const std::string& path, int flags) {
  int fd;
  do {
    // The files this layer creates are the logs, which hold client
    // identifiers: private to their owner.
    fd = open(path.c_str(), flags | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// EBADF on a descriptor that is open means it lacks the access asked for.
DWORD BadDescriptorError(int fd, int err) {
  if (err == EBADF && fcntl(fd, F_GETFL) != -1) return ERROR_ACCESS_DENIED;
  return posix::SystemError(err);
}

}  // namespace

HANDLE CreateFileW(LPCWSTR file_name, DWORD desired_access, DWORD /*share_mode*/,
                   SECURITY_ATTRIBUTES* /*security*/, DWORD creation_disposition,
                   DWORD /*flags_and_attributes*/, HANDLE /*template_file*/) {
  if (file_name == nullptr) return FailOpen(ERROR_INVALID_PARAMETER);
  if (*file_name == L'\0') return FailOpen(ERROR_PATH_NOT_FOUND);
  const bool read = desired_access & GENERIC_READ;
  // FILE_APPEND_DATA without GENERIC_WRITE is Windows' append-only access.
  const bool append = !(desired_access & GENERIC_WRITE) && (desired_access & FILE_APPEND_DATA);
  const bool write = (desired_access & GENERIC_WRITE) || append;
  const int access = (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY) | (append ? O_APPEND : 0);
  const std::string path = posix::WideToUtf8(file_name);
  int fd = -1;
  bool existed = false;
  switch (creation_disposition) {
    case CREATE_NEW:
      fd = Open(path, access | O_CREAT | O_EXCL);
      break;
    case OPEN_EXISTING:
      fd = Open(path, access);
      break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS: {
      // Create exclusively first to learn whether the file was there; retry
      // if it disappears in between.
      const int reopen = creation_disposition == CREATE_ALWAYS ? access | O_TRUNC : access;
      for (int attempt = 0; attempt < 8; ++attempt) {
        fd = Open(path, access | O_CREAT | O_EXCL);
        if (fd >= 0 || errno != EEXIST) break;
        fd = Open(path, reopen);
        if (fd >= 0) existed = true;
        if (fd >= 0 || errno != ENOENT) break;
      }
      break;
    }
    default:
      return FailOpen(ERROR_INVALID_PARAMETER);
  }
  if (fd < 0) return FailOpen(posix::PathError(errno, path.c_str()));
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    return FailOpen(ERROR_ACCESS_DENIED);
  }
  posix::SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return posix::HandleFromFd(fd);
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytes_to_write,
               DWORD* bytes_written, OVERLAPPED* overlapped) {
  if (bytes_written != nullptr) *bytes_written = 0;
  const int fd = posix::FdFromHandle(file);
  if (fd < 0) return posix::Fail(ERROR_INVALID_HANDLE);
  if (overlapped != nullptr || (buffer == nullptr && bytes_to_write > 0)) {
    return posix::Fail(ERROR_INVALID_PARAMETER);
  }
  const char* p = static_cast<const char*>(buffer);
  DWORD done = 0;
  while (done < bytes_to_write) {
    const ssize_t n = write(fd, p + done, bytes_to_write - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = n == 0 ? ENOSPC : errno;
      if (bytes_written != nullptr) *bytes_written = done;
      return posix::Fail(BadDescriptorError(fd, err));
    }
    done += static_cast<DWORD>(n);
  }
  if (bytes_written != nullptr) *bytes_written = done;
  return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distance_high, DWORD move_method) {
  const int fd = posix::FdFromHandle(file);
  if (fd < 0) {
    posix::SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  std::int64_t offset = distance;
  if (distance_high != nullptr) {
    offset = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(static_cast<DWORD>(*distance_high)) << 32) |
        static_cast<DWORD>(distance));
  }
  // Moving to the very end with a high word (the log files do it for every
  // operation) needs one call.
  if (move_method == FILE_END && offset == 0 && distance_high != nullptr) {
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) {
      posix::SetLastError(posix::SystemError(errno));
      return INVALID_SET_FILE_POINTER;
    }
    *distance_high = static_cast<LONG>(end >> 32);
    const DWORD low = static_cast<DWORD>(end & 0xFFFFFFFF);
    if (low == INVALID_SET_FILE_POINTER) posix::SetLastError(ERROR_SUCCESS);
    return low;
  }
  // The new position is checked before the descriptor moves, as on Windows.
  std::int64_t base = 0;
  if (move_method == FILE_CURRENT) {
    base = lseek(fd, 0, SEEK_CUR);
  } else if (move_method == FILE_END) {
    struct stat st;
    base = fstat(fd, &st) == 0 ? st.st_size : -1;
  } else if (move_method != FILE_BEGIN) {
    posix::SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  std::int64_t target = 0;
  DWORD error = ERROR_SUCCESS;
  if (base < 0) {
    error = posix::SystemError(errno);
  } else if (__builtin_add_overflow(base, offset, &target)) {
    error = ERROR_INVALID_PARAMETER;
  } else if (target < 0) {
    error = ERROR_NEGATIVE_SEEK;
  } else if (distance_high == nullptr && target > 0xFFFFFFFFll) {
    error = ERROR_INVALID_PARAMETER;
  } else if (lseek(fd, target, SEEK_SET) < 0) {
    error = posix::SystemError(errno);
  }
  if (error != ERROR_SUCCESS) {
    posix::SetLastError(error);
    return INVALID_SET_FILE_POINTER;
  }
  if (distance_high != nullptr) *distance_high = static_cast<LONG>(target >> 32);
  const DWORD low = static_cast<DWORD>(target);
  // Tells a position ending in 0xFFFFFFFF from a failure.
  if (low == INVALID_SET_FILE_POINTER) posix::SetLastError(ERROR_SUCCESS);
  return low;
}

BOOL FlushFileBuffers(HANDLE file) {
  const int fd = posix::FdFromHandle(file);
  if (fd < 0) return posix::Fail(ERROR_INVALID_HANDLE);
  const int flags = fcntl(fd, F_GETFL);
  if (flags == -1) return posix::Fail(posix::SystemError(errno));
  if ((flags & O_ACCMODE) == O_RDONLY) return posix::Fail(ERROR_ACCESS_DENIED);
  int rc;
  do {
    rc = fsync(fd);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return posix::Fail(posix::SystemError(errno));
  return TRUE;
}

}  // namespace win32
