// Filling a _cloud_file_record for one entry.
#ifndef QUORVEL_SRC_FILE_RECORD_H_
#define QUORVEL_SRC_FILE_RECORD_H_

#include <filesystem>
#include <string>

#include "local_fs.h"
#include "quorvel/Quorvel.h"

namespace quorvel {

// Clears `record` and fills in the directory text, name, kind (0 directory,
// 1 file), size (0 for a directory) and both time texts of the entry at
// `local`. QV_OK; QV_E_INVALID_PATH when a text does not fit its field;
// QV_E_IO when the entry cannot be read.
int FillRecord(const std::u16string& directory, const std::u16string& name, EntryKind kind,
               const std::filesystem::path& local, _cloud_file_record* record);

}  // namespace quorvel

#endif  // QUORVEL_SRC_FILE_RECORD_H_
