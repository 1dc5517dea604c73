// The local folder through which the command line's own files (manifests,
// the backup lock, check's downloaded copies) travel to and from the
// storage: the local service moves only files it opens itself.
//
// By default a private folder made for the command, "brevanto.XXXXXX" under
// $TMPDIR (when absolute) or /tmp, mode 0700, removed with whatever is left
// in it when the command ends. The service opens local files with the
// client's own rights, so it may write there. A service narrowed by
// --local-root refuses it: the user then names a folder the service may
// write (--scratch-dir), which is used as it is and left in place.
#ifndef BREVANTO_CLI_LOCAL_SCRATCH_FOLDER_H_
#define BREVANTO_CLI_LOCAL_SCRATCH_FOLDER_H_

#include <string>

class ScratchFolder {
 public:
  // `given`: the user's folder, or empty for a private one (made at once).
  explicit ScratchFolder(const std::string& given = std::string());
  ~ScratchFolder();  // removes the private folder
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // The folder's absolute path; empty when the private folder could not be
  // made (error() says why).
  const std::string& path() const { return path_; }
  const std::string& error() const { return error_; }
  bool is_private() const { return made_; }

  // Uses `other` from now on (a folder the command knows the service may
  // write), removing the private folder.
  void use(const std::string& other);

  // What to add to a refusal by the local service (error 6) of this folder:
  // why, and that --scratch-dir names another.
  std::string refusal_advice() const;

 private:
  void remove_private();

  std::string path_;
  std::string error_;
  bool made_ = false;
};

// Removes every private folder still in use: for a process that ends
// without unwinding (interrupt.h).
void remove_private_scratch_folders();

#endif  // BREVANTO_CLI_LOCAL_SCRATCH_FOLDER_H_
