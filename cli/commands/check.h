// check: whether the storage still holds a backup as its manifest lists it.
#ifndef BREVANTO_CLI_CHECK_H_
#define BREVANTO_CLI_CHECK_H_

#include <cstddef>
#include <string>

#include "cli/remote/session.h"

struct CheckOptions {
  std::string remote_dir;
  // A local folder the service may write into, for the manifest's (and,
  // with read_data, each file's) trip through a scratch file; empty: a
  // private one (scratch_folder.h).
  std::string scratch_dir;
  bool read_data = false;     // download and hash every file
  std::size_t transfers = 4;  // clients at work at once
};

// Every file of the backup's last manifest must be stored, as a file, with
// the manifest's size (one listing, then the size of each file); with
// `read_data` each one is downloaded and its size and SHA-256 compared.
// Returns 0 when all match, 1 when anything is missing or differs or a
// manifest line could not be read, kNoSession when the connection broke.
int run_check(Session& session, const CheckOptions& options);

#endif  // BREVANTO_CLI_CHECK_H_
