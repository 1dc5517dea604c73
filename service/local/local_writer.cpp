#include "service/local/local_writer.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <optional>

#include "service/errors.h"
#include "service/local/local_user.h"
#include "service/log.h"
#include "service/net/progress_reporter.h"
#include "service/store/atomic_file.h"
#include "service/store/catalog.h"
#include "service/store/content_copy.h"

namespace {

// Restored files get the usual mode, less the umask.
constexpr mode_t kLocalFileMode = 0666;

// A local temp file's path, journaled while the temp file may exist. The
// catalog is the service's: it is written with the service's identity,
// whoever the thread acts for.
class JournaledTemp {
 public:
  JournaledTemp(Catalog& catalog, const std::string& dir, const std::string& name)
      : catalog_(catalog), path_(dir + (dir == "/" ? "" : "/") + name) {
    const ActingAs service(LocalUser::service_identity());
    catalog_.add_pending_temp(path_);
  }
  ~JournaledTemp() {
    try {
      const ActingAs service(LocalUser::service_identity());
      catalog_.remove_pending_temp(path_);
    } catch (const std::exception& e) {
      log_error("cannot unjournal temp file: %s", e.what());
    }
  }
  JournaledTemp(const JournaledTemp&) = delete;
  JournaledTemp& operator=(const JournaledTemp&) = delete;

 private:
  Catalog& catalog_;
  const std::string path_;
};

}  // namespace

std::uint64_t write_local_file(const LocalRoots& roots, LocalRoots::CheckedTarget checked,
                               const std::string& local, const ContentSource& source,
                               const timespec& mtime, Catalog& temp_journal,
                               ProgressReporter& progress) {
  // The folders, the file and its name are made with the client's rights;
  // the copy between two open files needs none.
  const LocalUser user = checked.user;
  std::optional<ActingAs> acting(std::in_place, user);
  const LocalRoots::Target target = roots.open_target(std::move(checked));
  struct stat existing;
  const bool exists =
      ::fstatat(target.dir.get(), target.name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
  if (exists && S_ISDIR(existing.st_mode)) {
    throw ServiceError(kLocalRefused, "local target is a directory: " + log_safe(local));
  }

  std::optional<JournaledTemp> journaled;
  AtomicFile file;
  int err = exists ? EEXIST : file.create_unnamed(target.dir.get(), target.name, kLocalFileMode);
  if (err != 0) {  // the target exists, or the file system has no unnamed files
    const std::string temp_name = make_temp_name();
    journaled.emplace(temp_journal, target.dir_path, temp_name);
    err = file.create(target.dir.get(), temp_name, target.name, kLocalFileMode);
  }
  if (err != 0) throw_errno(local_error_code(err), err, "create local temp file");
  acting.reset();
  const std::uint64_t written = source.copy_to(file.fd(), progress, kLocalRefused);
  const timespec times[2] = {mtime, mtime};
  ::futimens(file.fd(), times);
  progress.finish(written);
  acting.emplace(user);
  err = file.place(true);
  if (err == EEXIST && file.unnamed()) {  // the target appeared during the copy
    const std::string temp_name = make_temp_name();
    journaled.emplace(temp_journal, target.dir_path, temp_name);
    err = file.name(temp_name);
    if (err == 0) err = file.place(true);
  }
  acting.reset();
  if (err != 0) throw_errno(local_error_code(err), err, "write local " + log_safe(local));
  return written;
}
