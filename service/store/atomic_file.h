// Atomic replacement of a file: the content goes to a temp file in the
// target's directory, which is then renamed over the target (or, for an
// unnamed temp file, linked in as the target). A reader, a crash or a
// dropped client therefore sees either the old target or the complete new
// one, never a torn file. Stored files are also synced around the rename
// (see group_commit.h), so that this holds across a power cut too.
#ifndef BREVANTO_SERVICE_STORE_ATOMIC_FILE_H_
#define BREVANTO_SERVICE_STORE_ATOMIC_FILE_H_

#include <sys/types.h>

#include <string>
#include <string_view>

#include "service/unique_fd.h"

// Every temp file of the service starts with this prefix. Listings hide
// such names, storage paths may not use them, and the start-up sweep
// removes those a crash left behind.
constexpr char kTempPrefix[] = ".brevanto-tmp-";

bool is_temp_name(std::string_view name);

// A fresh temp file name: the prefix and 16 random hex digits.
std::string make_temp_name();

class AtomicFile {
 public:
  AtomicFile() = default;
  // Removes the temp file unless it was committed.
  ~AtomicFile() { discard(); }
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates `temp_name` in `dir_fd` (exclusively, never through a symbolic
  // link) to become `target` in the same directory. `dir_fd` must stay open
  // until commit() or discard(). 0 or an errno value.
  int create(int dir_fd, const std::string& temp_name, const std::string& target, mode_t mode);

  // Creates an unnamed temp file (O_TMPFILE) in `dir_fd` to become `target`,
  // which must not exist: a crash leaves nothing behind, so there is no
  // name to journal or sweep. 0 or an errno value (EOPNOTSUPP or EISDIR
  // where the file system has no unnamed files).
  int create_unnamed(int dir_fd, const std::string& target, mode_t mode);

  int fd() const { return fd_.get(); }
  bool unnamed() const { return unnamed_; }

  // Gives an unnamed temp file the name `temp_name`, after which it is an
  // ordinary temp file (for a target that turned out to exist). 0 or an
  // errno value.
  int name(const std::string& temp_name);

  // Syncs the file (its data and its times) and closes it.
  int sync();
  // Puts the file in place: renamed over the target (when `replace` is
  // false an existing target is kept and EEXIST returned), or for an
  // unnamed file linked in as the target, EEXIST when one exists. Nothing
  // is synced; callers that need the rename durable sync dir_fd(). 0 or an
  // errno value; a failed place() of a named file removes it.
  int place(bool replace);
  int dir_fd() const { return dir_fd_; }

  // Closes and removes the temp file now, if there is one.
  void discard();

 private:
  int rename_into_place(bool replace);
  int link_unnamed(const std::string& name);

  int dir_fd_ = -1;
  std::string temp_;
  std::string target_;
  UniqueFd fd_;
  bool pending_ = false;  // the temp file exists under its temp name
  bool unnamed_ = false;  // the temp file has no name yet (O_TMPFILE)
};

#endif  // BREVANTO_SERVICE_STORE_ATOMIC_FILE_H_
