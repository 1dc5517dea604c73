// Where the library's log files go: beside the host executable, as on
// Windows; on Linux, where that folder cannot be written, in the user's
// state folder instead.
#ifndef BREVANTO_UTIL_MODULE_PATH_H_
#define BREVANTO_UTIL_MODULE_PATH_H_

#include <cstdint>
#include <string>

// The directory of the process's executable, ending in the path separator;
// empty when the path holds no separator. No length limit applies.
std::wstring executable_directory();

// The folder of the log files, ending in the path separator, created when
// missing; empty when there is none.
//   Windows: "Logs\" beside the executable.
//   Linux: $BREVANTO_LOG_DIR when set; else "Logs/" beside the executable
//   when that folder can be created and written; else
//   $XDG_STATE_HOME/brevanto/Logs/ (by default ~/.local/state/brevanto/Logs/),
//   created private to the user.
std::wstring log_directory();

// On Linux, a log file past this size is renamed to "<name>.1" (replacing an
// older one) before it is opened again, so a new file starts. Windows keeps
// appending.
constexpr std::uint64_t kLogRotateBytes = 64ull << 20;
void rotate_large_log(const std::wstring& path);

#endif  // BREVANTO_UTIL_MODULE_PATH_H_
