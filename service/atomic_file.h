// Atomic replacement of a file: the content goes to a temp file in the
// target's directory, which is synced and then renamed over the target, and
// the directory is synced. A reader, a crash or a dropped client therefore
// sees either the old target or the complete new one, never a torn file.
#ifndef BREVANTO_SERVICE_ATOMIC_FILE_H_
#define BREVANTO_SERVICE_ATOMIC_FILE_H_

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

  int fd() const { return fd_.get(); }

  // Syncs the file, renames it to the target and syncs the directory. When
  // `replace` is false an existing target is kept and EEXIST returned. 0 or
  // an errno value; on failure the temp file is gone.
  int commit(bool replace);

  // commit() in steps, for callers that share the syncs of many files: the
  // file's data synced (and the file closed), then the rename, after which
  // the caller syncs the directory. 0 or an errno value; a failed place()
  // removes the temp file.
  int sync();
  int place(bool replace);
  int dir_fd() const { return dir_fd_; }

  // Closes and removes the temp file now, if there is one.
  void discard();

 private:
  int rename_into_place(bool replace);

  int dir_fd_ = -1;
  std::string temp_;
  std::string target_;
  UniqueFd fd_;
  bool pending_ = false;  // the temp file exists under its temp name
};

#endif  // BREVANTO_SERVICE_ATOMIC_FILE_H_
