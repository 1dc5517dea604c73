// The directories and files a restore writes, reached without following a
// symbolic link the restore did not make: a link inside the target (say
// "sub -> /elsewhere") would otherwise let a manifest entry "sub/b.txt"
// write, chmod and touch a file outside it.
#ifndef BREVANTO_CLI_RESTORE_TARGET_H_
#define BREVANTO_CLI_RESTORE_TARGET_H_

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <unordered_map>

class RestoreTarget {
 public:
  // Opens the target directory (made before, by the caller). False with
  // `error` set when that fails.
  bool open(const std::string& root, std::string& error);
  ~RestoreTarget();

  // Makes the directory `relative` ('/' separators) and its missing parents
  // (0700), one component at a time with O_NOFOLLOW. False with `error` set
  // when a component is a link or no directory.
  bool make_directory(const std::string& relative, std::string& error) const;
  // True when the file `relative` may be written: its folders are
  // directories reached without a link and it is not a link itself.
  bool may_write_file(const std::string& relative, std::string& error) const;
  // Sets a mode and modification time on the entry `relative` ("." for the
  // target itself) through a descriptor opened with O_NOFOLLOW, so a link
  // put in its place is never followed. `mode` or `mtime_ns` may be unknown
  // (kUnknownMode, kUnknownTime): then it is left alone.
  bool set_metadata(const std::string& relative, int mode, std::int64_t mtime_ns,
                    std::string& error) const;
  // Moves the file `root_name`, directly inside the target, to `relative`
  // (replacing a file there): for names the library cannot carry.
  bool move_into(const std::string& root_name, const std::string& relative,
                 std::string& error) const;
  // Makes `relative` a symbolic link to `link_target` (replacing a file or
  // link there) with the modification time `mtime_ns` (may be unknown).
  bool make_symlink(const std::string& relative, const std::string& link_target,
                    std::int64_t mtime_ns, std::string& error) const;
  // Makes `relative` a hard link of the restored file `existing` (replacing
  // a file or link there).
  bool make_hard_link(const std::string& existing, const std::string& relative,
                      std::string& error) const;

 private:
  // An open directory, closed when the last holder lets go of it (a kept
  // folder may be dropped from the cache while a file in it is restored).
  using Folder = std::shared_ptr<const int>;
  static Folder hold(int fd);

  // The directory holding `relative`'s last component, with that component
  // in `name`; null with `error` set on failure.
  Folder open_parent(const std::string& relative, std::string& name, std::string& error) const;
  // open_parent() by a walk from the root, one component at a time.
  int walk_to(const std::string& folder, const std::string& relative, std::string& error) const;
  // Renames `temporary` to `name` in `parent`; on failure removes it.
  static bool replace_with(int parent, const std::string& temporary, const std::string& name,
                           const std::string& relative, std::string& error);

  int root_fd_ = -1;
  Folder root_;  // root_fd_, held for open_parent()
  // The folders walked to, by their relative path, kept open: a restore
  // deals its files out across folders and comes back to each one file
  // at a time. A kept folder is the directory the walk reached without a
  // link; what its path names later does not change it. Up to kFolders
  // are kept, then they are closed together.
  static constexpr std::size_t kFolders = 256;
  mutable std::shared_mutex folders_mu_;  // shared to look up, whole to add
  mutable std::unordered_map<std::string, Folder> folders_;
};

#endif  // BREVANTO_CLI_RESTORE_TARGET_H_
