#include "service/requests/transfers.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cinttypes>

#include "service/store/atomic_file.h"
#include "service/store/catalog.h"
#include "service/store/content_copy.h"
#include "service/errors.h"
#include "service/store/filetime.h"
#include "service/store/group_commit.h"
#include "service/local/local_paths.h"
#include "service/local/local_writer.h"
#include "service/log.h"
#include "service/net/progress_reporter.h"
#include "service/net/replies.h"
#include "service/net/request.h"
#include "service/net/session.h"
#include "service/store/storage_tree.h"
#include "util/text.h"

namespace {

// Storage files are the service's own: readable by its user only.
constexpr mode_t kStorageFileMode = 0600;

// A file written while it was copied may have been stored torn: its size
// and modification time must be as they were at the start, and the bytes
// copied as many as it had then. Otherwise nothing is stored.
void check_unchanged(const LocalRoots::Source& source, std::uint64_t copied,
                     const std::string& local) {
  struct stat now;
  if (::fstat(source.fd.get(), &now) != 0) throw_errno(kLocalRefused, errno, "fstat");
  if (now.st_size != source.st.st_size || copied != static_cast<std::uint64_t>(now.st_size) ||
      now.st_mtim.tv_sec != source.st.st_mtim.tv_sec ||
      now.st_mtim.tv_nsec != source.st.st_mtim.tv_nsec) {
    throw ServiceError(kSourceChanged,
                       format_narrow("%s changed during the upload (%lld bytes at the start, "
                                     "%lld now, %" PRIu64 " copied)",
                                     log_safe(local).c_str(),
                                     static_cast<long long>(source.st.st_size),
                                     static_cast<long long>(now.st_size), copied));
  }
}

// Stores the content of a local file at a storage path. `update` tells
// UpdateFile (the file must exist and is replaced) from AddFile (it must
// not exist).
void upload(Session& session, const Request& request, const Binding& who, bool update) {
  const StoragePath path = parse_storage_path(request.get("PathName"));
  const std::string& local = request.get("LocalPathName");
  if (path.is_root()) throw ServiceError(kInvalidPath, "the root is not a file");

  ServiceContext& context = session.context();
  LocalRoots::Source source = context.local_roots->open_source(local);
  const int parent = session.trees().parent(context.data_fd, who, path, !update);
  const EntryKind kind = entry_kind(parent, path.name());
  if (update) {
    if (kind == EntryKind::kMissing) throw ServiceError(kNotFound, "no " + log_safe(path.text()));
    if (kind == EntryKind::kDirectory) {
      throw ServiceError(kIsADirectory, log_safe(path.text()) + " is a directory");
    }
    if (kind != EntryKind::kFile) throw ServiceError(kInvalidPath, "not a file");
  } else if (kind != EntryKind::kMissing) {
    throw ServiceError(kAlreadyExists, log_safe(path.text()) + " exists");
  }

  AtomicFile file;
  if (const int err = file.create(parent, make_temp_name(), path.name(), kStorageFileMode)) {
    throw_errno(storage_error_code(err, kInternal), err, "create temp file");
  }
  ProgressReporter progress(session.replies(), static_cast<std::uint64_t>(source.st.st_size));
  const CopyResult copied = copy_content(source.fd.get(), file.fd(), progress, kLocalRefused,
                                         kInternal, Hashing::kSha256);
  check_unchanged(source, copied.bytes, local);
  const timespec times[2] = {source.st.st_mtim, source.st.st_mtim};
  ::futimens(file.fd(), times);
  progress.finish(copied.bytes);

  RowChange change;
  change.update = update;
  FileRow& row = change.row;
  row.user_id = who.user_id;
  row.project = who.project;
  row.path = path.text();
  row.backup_type = 0;  // a full copy
  row.sha256 = copied.sha256;
  row.size = static_cast<std::int64_t>(copied.bytes);
  row.create_time = filetime_now();
  row.modify_time = filetime_from_timespec(source.st.st_mtim);
  if (const int err = context.commits->commit(file, update, change)) {
    throw_errno(storage_error_code(err, kInternal), err, "store " + log_safe(path.text()));
  }
  log_info("conn %d: user %s %s %s (%" PRIu64 " bytes)", session.id(), log_safe(who.user).c_str(),
           update ? "updated" : "added", log_safe(row.path).c_str(), copied.bytes);
  session.send(success_reply());
}

}  // namespace

void handle_add_file(Session& session, const Request& request, const Binding& who) {
  upload(session, request, who, false);
}

void handle_update_file(Session& session, const Request& request, const Binding& who) {
  upload(session, request, who, true);
}

void handle_download_file(Session& session, const Request& request, const Binding& who) {
  const StoragePath path = parse_storage_path(request.get("PathName"));
  const std::string& local = request.get("LocalPathName");
  if (path.is_root()) throw ServiceError(kIsADirectory, "the root is a directory");

  // The local side is judged first, before the storage path is even
  // looked at: a client can probe where it may restore to with a storage
  // path that does not exist (error 6 refused, error 3 allowed), and
  // nothing is made on the local side for that.
  ServiceContext& context = session.context();
  LocalRoots::CheckedTarget checked = context.local_roots->check_target(local);
  const int parent = session.trees().parent(context.data_fd, who, path, false);
  const int source_fd =
      ::openat(parent, path.name().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (source_fd < 0) {
    throw_errno(storage_error_code(errno, kInternal), errno, "open " + log_safe(path.text()));
  }
  const UniqueFd source(source_fd);
  struct stat st;
  if (::fstat(source.get(), &st) != 0) throw_errno(kInternal, errno, "fstat");
  if (S_ISDIR(st.st_mode)) throw ServiceError(kIsADirectory, log_safe(path.text()));
  if (!S_ISREG(st.st_mode)) throw ServiceError(kInvalidPath, "not a file");
  // O_NONBLOCK, which kept a FIFO from blocking the open, does nothing to
  // a regular file's reads: it stays.

  ProgressReporter progress(session.replies(), static_cast<std::uint64_t>(st.st_size));
  const std::uint64_t bytes =
      write_local_file(*context.local_roots, std::move(checked), local, source.get(), st.st_mtim,
                       *context.catalog, progress);
  log_info("conn %d: user %s downloaded %s (%" PRIu64 " bytes)", session.id(),
           log_safe(who.user).c_str(), log_safe(path.text()).c_str(), bytes);
  session.send(success_reply());
}
