// File handles of the POSIX platform layer.
//
// A HANDLE holds a file descriptor plus one, so that no descriptor is NULL or
// INVALID_HANDLE_VALUE ((HANDLE)-1). As on Windows, (HANDLE)-1 also names the
// current process (GetCurrentProcess).
#ifndef BREVANTO_PLATFORM_POSIX_HANDLE_H_
#define BREVANTO_PLATFORM_POSIX_HANDLE_H_

#include <cstdint>

#include "platform/win32.h"

namespace win32 {
namespace posix {

inline HANDLE HandleFromFd(int fd) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd) + 1);
}

// Returns -1 for values that hold no descriptor.
inline int FdFromHandle(HANDLE h) {
  const std::intptr_t v = reinterpret_cast<std::intptr_t>(h) - 1;
  return v >= 0 && v <= INT32_MAX ? static_cast<int>(v) : -1;
}

}  // namespace posix
}  // namespace win32

#endif  // BREVANTO_PLATFORM_POSIX_HANDLE_H_
