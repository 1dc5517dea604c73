// Writing a downloaded file to a local path (DownloadFile).
//
// A restored file is written without syncing, as copying tools write: its
// content stays safe in storage, and a crash still leaves the old local
// file or the whole new one. A new file is written unnamed, so that a
// crash leaves nothing behind; one that replaces a file goes by way of a
// temp name, journaled for the next start to remove if a crash leaves it.
#ifndef BREVANTO_SERVICE_LOCAL_LOCAL_WRITER_H_
#define BREVANTO_SERVICE_LOCAL_LOCAL_WRITER_H_

#include <time.h>

#include <cstdint>
#include <string>

#include "service/local/local_paths.h"
#include "service/store/content_source.h"

class Catalog;
class ProgressReporter;

// Writes `source` to the local file of `checked`, making its missing
// folders, and gives the file the modification time `mtime`. Returns the
// bytes written. Throws ServiceError: kLocalRefused for the local side
// (kDiskFull for a full disk), kInternal for a failed read of `source`.
std::uint64_t write_local_file(const LocalRoots& roots, LocalRoots::CheckedTarget checked,
                               const std::string& local, const ContentSource& source,
                               const timespec& mtime, Catalog& temp_journal,
                               ProgressReporter& progress);

#endif  // BREVANTO_SERVICE_LOCAL_LOCAL_WRITER_H_
