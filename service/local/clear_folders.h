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
// One per session (a session handles one request at a time). A restore
// deals its files out across folders, so a session meets many folders in
// turn: up to kFolders are kept (a few hundred KB at most), and when that
// many are, they are forgotten together and found again as they come.
#ifndef BREVANTO_SERVICE_LOCAL_CLEAR_FOLDERS_H_
#define BREVANTO_SERVICE_LOCAL_CLEAR_FOLDERS_H_

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <unordered_map>

class ClearFolders {
 public:
  // True when the folder at `path` with the identity in `st` was found
  // outside the storage root.
  bool contains(const std::string& path, const struct stat& st) const;
  // Remembers that the folder at `path`, `st`, lies outside it.
  void add(const std::string& path, const struct stat& st);

 private:
  struct Identity {
    dev_t dev = 0;
    ino_t ino = 0;
  };
  static constexpr std::size_t kFolders = 4096;
  std::unordered_map<std::string, Identity> folders_;
};

#endif  // BREVANTO_SERVICE_LOCAL_CLEAR_FOLDERS_H_
