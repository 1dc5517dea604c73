// The few local file system calls that std::filesystem does not offer alike
// on POSIX systems and Windows: telling links apart without following them,
// creation times, writing a file through to the disk, and a rename that may
// or may not replace its target. local_fs_posix.cpp and local_fs_win32.cpp
// implement them.
#ifndef QUORVEL_SRC_LOCAL_FS_H_
#define QUORVEL_SRC_LOCAL_FS_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <system_error>

namespace quorvel {

enum class EntryKind {
  kMissing,
  kFile,
  kDirectory,
  kLink,   // a symbolic link, junction or other reparse point: never followed
  kOther,  // a device, pipe, socket...
};

// The kind of the entry at `path` itself; `error` is set when that cannot be
// told (a missing entry is not an error).
EntryKind Classify(const std::filesystem::path& path, std::error_code& error);

// Creation and last modification times in seconds since 1970-01-01 UTC. Where
// the file system keeps no creation time, the modification time stands in.
struct EntryTimes {
  std::int64_t created = 0;
  std::int64_t modified = 0;
};
bool ReadTimes(const std::filesystem::path& path, EntryTimes* times);

// A new file, written and then flushed to the disk before it is closed.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the file; fails when it exists already.
  bool Create(const std::filesystem::path& path);
  bool Write(const void* data, std::size_t size);
  // Flushes to the disk and closes; false when either fails.
  bool Commit();

 private:
  std::intptr_t handle_ = -1;
};

// Renames `from` to `to` in one step. Without `replace`, an existing `to` is
// kept and `error` is std::errc::file_exists.
bool MoveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to, bool replace,
                   std::error_code& error);

}  // namespace quorvel

#endif  // QUORVEL_SRC_LOCAL_FS_H_
