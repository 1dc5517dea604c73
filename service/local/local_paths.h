// Local paths: the files that the service itself reads (AddFile,
// UpdateFile) or writes (DownloadFile) on the client's behalf.
//
// Only absolute paths under a --local-root folder are served. A path made
// of plain names below a root is opened from the root in one step that
// follows no link and cannot leave it (openat2 with RESOLVE_BENEATH and
// RESOLVE_NO_SYMLINKS). Any other path (one with a link, a "." or "..", or
// on a kernel without openat2) is resolved with realpath() (for a file to
// be written: its nearest existing ancestor directory) and must then lie
// inside a realpath'd root; the resolved path is opened again from the root
// one component at a time with O_NOFOLLOW, so a link swapped in after the
// check is refused too. The
// storage root is never a local path, even when a local root holds it:
// clients must not reach the catalog or other users' trees that way. Every
// refusal is ServiceError(kLocalRefused); the reply to it names the roots
// (refusal_text()).
#ifndef BREVANTO_SERVICE_LOCAL_LOCAL_PATHS_H_
#define BREVANTO_SERVICE_LOCAL_LOCAL_PATHS_H_

#include <sys/stat.h>

#include <string>
#include <vector>

#include "service/unique_fd.h"

class LocalRoots {
 public:
  // Resolves each folder with realpath(). Throws std::runtime_error for a
  // folder that is missing, not a directory, inside `storage_root`, or
  // whose path a reply cannot carry (a double quote or a control byte).
  LocalRoots(const std::vector<std::string>& dirs, const std::string& storage_root);

  const std::vector<std::string>& roots() const { return roots_; }

  // The errtext of a refused local path:
  // "local path refused (allowed: <root1>, <root2>, ...)", the roots
  // resolved, cut short with "..." to fit one reply.
  const std::string& refusal_text() const { return refusal_text_; }

  // An existing regular file, open for reading.
  struct Source {
    UniqueFd fd;
    struct stat st;
  };
  Source open_source(const std::string& path) const;

  // The directory that is to hold a written file, open, with its resolved
  // path and the file's name in it. Missing directories between the
  // nearest existing ancestor and the file are made (0777 less the umask).
  struct Target {
    UniqueFd dir;
    std::string dir_path;
    std::string name;
  };
  Target open_target(const std::string& path) const { return open_target(check_target(path)); }

  // open_target() in two steps. check_target() checks that a file may be
  // written at `path` and opens its nearest existing ancestor, but makes
  // nothing: a path whose folders do not exist yet is judged by that
  // ancestor. open_target() then makes the missing folders. Both throw
  // ServiceError(kLocalRefused) (kDiskFull for a full disk).
  struct CheckedTarget {
    std::string name;
    std::string resolved;               // the ancestor's realpath
    UniqueFd ancestor;                  // open, reached without a link
    std::vector<std::string> missing;   // the folders to make below it
  };
  CheckedTarget check_target(const std::string& path) const;
  Target open_target(CheckedTarget checked) const;

  // True when `resolved` (a realpath) is inside a root, or is one and
  // `allow_root` is set, and is not in the storage root.
  bool contains(const std::string& resolved, bool allow_root) const;

 private:
  // Opens `path` in one step when it is a plain path below a root (see
  // above) and outside the storage root; an invalid fd when it is not or
  // cannot be opened so, and the caller takes the slow way.
  UniqueFd open_plain(const std::string& path, int flags) const;

  // Opens `resolved`, which lies in a root, from that root one component
  // at a time; the last component with `last_flags`.
  UniqueFd walk(const std::string& resolved, int last_flags) const;

  std::vector<std::string> roots_;
  std::vector<UniqueFd> root_fds_;  // open from the start, for open_plain()
  std::string storage_root_;
  std::string refusal_text_;
};

#endif  // BREVANTO_SERVICE_LOCAL_LOCAL_PATHS_H_
