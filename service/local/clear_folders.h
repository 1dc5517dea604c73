// The local folders a session has found to lie outside the storage root,
// so that a backup of many files in one folder climbs from that folder to
// "/" once, not once per file.
//
// A folder is remembered by its path (a resolved path of plain names, as
// LocalRoots opens it) together with its identity (device and inode), and
// a remembered answer is used only when the folder just opened at that
// path still has that identity. So the answer stands for a folder that
// was neither renamed nor replaced (by another folder, a bind mount or a
// link, which the open does not follow) since it was checked: for the
// folder at that path to have come into the storage root, something on
// the path would have had to be moved out of the storage root, or the
// storage root moved or mounted onto the path, which clients cannot do.
// Only the answer is kept: every file is still opened through its path,
// with the client's rights of the moment.
//
// One per session (a session handles one request at a time); a few
// folders are kept, the oldest making room for a new one.
#ifndef BREVANTO_SERVICE_LOCAL_CLEAR_FOLDERS_H_
#define BREVANTO_SERVICE_LOCAL_CLEAR_FOLDERS_H_

#include <sys/stat.h>

#include <array>
#include <cstddef>
#include <string>

class ClearFolders {
 public:
  // True when the folder at `path` with the identity in `st` was found
  // outside the storage root.
  bool contains(const std::string& path, const struct stat& st) const;
  // Remembers that the folder at `path`, `st`, lies outside it.
  void add(const std::string& path, const struct stat& st);

 private:
  struct Folder {
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
  };
  static constexpr std::size_t kFolders = 8;
  std::array<Folder, kFolders> folders_;
  std::size_t next_ = 0;  // the slot the next folder takes
};

#endif  // BREVANTO_SERVICE_LOCAL_CLEAR_FOLDERS_H_
