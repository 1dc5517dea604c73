// Local paths: the files that the service itself reads (AddFile,
// UpdateFile) or writes (DownloadFile) on the client's behalf, with the
// client's rights (see local_user.h).
//
// Every absolute path is served, the client's rights deciding, unless the
// administrator narrowed the service to --local-root folders: then only
// paths under one of them. Without folders the one root is "/". A path made
// of plain names below a root is opened in one step that follows no link
// (openat2 with RESOLVE_NO_SYMLINKS; the root is a realpath, so the whole
// path holds none): being made of plain names, it cannot leave the root.
// Any other path (one with a link, a "." or "..", or on a kernel without
// openat2) is resolved with realpath() (for a file to be written: its
// nearest existing ancestor directory) and must then lie inside a
// realpath'd root; the resolved path is opened again from the root one
// component at a time with O_NOFOLLOW, so a link swapped in after the
// check is refused too. Every lookup is made with the client's rights, the
// folders above the root included.
//
// The storage root is never a local path, even when a local root holds it:
// clients must not reach the catalog or other users' trees that way. It is
// told by identity (device and inode), not by spelling: the folder holding
// a local file, and each folder above it, must not be the storage root,
// so neither another spelling on a case-insensitive file system nor a
// bind mount of the storage root reaches it. Climbing from a folder to "/"
// costs a few system calls per level; a caller that opens many files may
// pass a ClearFolders of its own, and each folder it holds is climbed from
// once (see clear_folders.h). Every refusal is
// ServiceError(kLocalRefused); the reply to it is one text for every
// refusal (refusal_text()), so that a client cannot tell another user's
// missing file from an unreadable one.
#ifndef BREVANTO_SERVICE_LOCAL_LOCAL_PATHS_H_
#define BREVANTO_SERVICE_LOCAL_LOCAL_PATHS_H_

#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "service/local/clear_folders.h"
#include "service/local/local_user.h"
#include "service/unique_fd.h"

class LocalRoots {
 public:
  // Resolves each folder with realpath(); no folders serve every absolute
  // path (the root "/", not narrowed). Throws std::runtime_error for a
  // folder that is missing, not a directory, the storage root or inside it
  // (by identity), or whose path a reply cannot carry (a double quote or a
  // control byte).
  LocalRoots(const std::vector<std::string>& dirs, const std::string& storage_root);

  const std::vector<std::string>& roots() const { return roots_; }
  // True when --local-root folders narrow what is served.
  bool narrowed() const { return narrowed_; }

  // The errtext of a refused local path. Narrowed:
  // "local path refused (allowed: <root1>, <root2>, ...)", the roots
  // resolved, cut short with "..." to fit one reply; otherwise
  // "local path refused (allowed: what the client's user may reach,
  // outside the storage root)".
  const std::string& refusal_text() const { return refusal_text_; }

  // An existing regular file that `user` may read, open for reading.
  struct Source {
    UniqueFd fd;
    struct stat st;
  };
  // `clear`, when given, remembers the folders found outside the storage
  // root, here and in check_target().
  Source open_source(const std::string& path, const LocalUser& user,
                     ClearFolders* clear = nullptr) const;

  // The directory that is to hold a written file, open, with its resolved
  // path and the file's name in it.
  struct Target {
    UniqueFd dir;
    std::string dir_path;
    std::string name;
  };

  // Opening a target in two steps. check_target() checks that `user` may
  // write a file at `path` and opens its nearest existing ancestor, but
  // makes nothing: a path whose folders do not exist yet is judged by that
  // ancestor. open_target() then makes the missing folders (0777 less the
  // umask) with the same user's rights. Both throw
  // ServiceError(kLocalRefused) (kDiskFull for a full disk).
  struct CheckedTarget {
    std::string name;
    std::string resolved;               // the ancestor's realpath
    UniqueFd ancestor;                  // open, reached without a link
    std::vector<std::string> missing;   // the folders to make below it
    LocalUser user;                     // whose rights the target is written with
  };
  CheckedTarget check_target(const std::string& path, const LocalUser& user,
                             ClearFolders* clear = nullptr) const;
  Target open_target(CheckedTarget checked) const;

 private:
  // True when `resolved` (a realpath) is inside a root, or is one and
  // `allow_root` is set, and is not in the storage root.
  bool contains(const std::string& resolved, bool allow_root) const;

  // Opens `path` in one step when it is a plain path below a root (see
  // above) and outside the storage root; an invalid fd when it is not or
  // cannot be opened so, and the caller takes the slow way.
  UniqueFd open_plain(const std::string& path, int flags, ClearFolders* clear) const;

  // Opens `resolved`, which lies in a root, from that root one component
  // at a time; the last component with `last_flags`.
  UniqueFd walk(const std::string& resolved, int last_flags, ClearFolders* clear) const;

  // Opens `name` in the folder `dir` (at `dir_path`) with `flags` (never
  // through a link), once `dir` is known to lie outside the storage root;
  // `name` empty opens `dir` itself. Refuses (kLocalRefused) a folder in
  // the storage root.
  UniqueFd open_in(UniqueFd dir, const std::string& dir_path, const std::string& name,
                   int flags, const std::string& path, ClearFolders* clear) const;

  // True when the folder `dir`, or one above it, is the storage root, or
  // when that cannot be told (`err` then says why).
  bool in_storage_root(int dir, int* err) const;
  // Refuses (kLocalRefused) the folder `dir`, at `dir_path`, when
  // in_storage_root() does not clear it; `path` is the one named in the
  // refusal. A folder `clear` holds is not climbed from again.
  void check_outside_storage(int dir, const std::string& dir_path, const std::string& path,
                             ClearFolders* clear) const;

  std::vector<std::string> roots_;
  bool narrowed_ = false;
  std::string storage_root_;
  dev_t storage_dev_ = 0;
  ino_t storage_ino_ = 0;
  // The local roots whose folders do not hold the storage root: a walk up
  // from a local path may stop at one.
  std::vector<std::pair<dev_t, ino_t>> clear_roots_;
  std::string refusal_text_;
};

#endif  // BREVANTO_SERVICE_LOCAL_LOCAL_PATHS_H_
