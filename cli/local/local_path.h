// Local paths. The local service reads and writes the files itself, from
// its own working directory, so every local path it is given is absolute.
#ifndef BREVANTO_CLI_LOCAL_PATH_H_
#define BREVANTO_CLI_LOCAL_PATH_H_

#include <string>
#include <string_view>

// `typed` resolved against the current directory and normalised, without a
// trailing '/' (except for "/").
std::string absolute_local(std::string_view typed);

std::string local_join(const std::string& dir, std::string_view relative);

// The last component of a local path.
std::string local_basename(const std::string& path);

#endif  // BREVANTO_CLI_LOCAL_PATH_H_
