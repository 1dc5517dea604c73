// Where the host executable lives: the log files go beside it.
#ifndef BREVANTO_UTIL_MODULE_PATH_H_
#define BREVANTO_UTIL_MODULE_PATH_H_

#include <string>

// The directory of the process's executable, ending in the path separator;
// empty when the path holds no separator. No length limit applies.
std::wstring executable_directory();

#endif  // BREVANTO_UTIL_MODULE_PATH_H_
