#include "service/requests/tree_requests.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "service/store/catalog.h"
#include "service/errors.h"
#include "service/store/filetime.h"
#include "service/log.h"
#include "service/store/remove_tree.h"
#include "service/net/replies.h"
#include "service/net/request.h"
#include "service/net/session.h"
#include "service/store/storage_tree.h"

namespace {

// A directory's creation time: its birth time where the file system keeps
// one, else its modification time.
std::int64_t directory_create_time(int dir_fd, const char* name, const struct stat& st) {
  struct statx sx;
  if (::statx(dir_fd, name, AT_SYMLINK_NOFOLLOW | (name[0] ? 0 : AT_EMPTY_PATH), STATX_BTIME,
              &sx) == 0 &&
      (sx.stx_mask & STATX_BTIME)) {
    timespec ts{static_cast<time_t>(sx.stx_btime.tv_sec), static_cast<long>(sx.stx_btime.tv_nsec)};
    return filetime_from_timespec(ts);
  }
  return filetime_from_timespec(st.st_mtim);
}

}  // namespace

void handle_get_file_info(Session& session, const Request& request, const Binding& who) {
  const StoragePath path = parse_storage_path(request.get("PathName"));
  TreeCache& trees = session.trees();
  EntryInfo info;
  struct stat st;
  if (path.is_root()) {
    const int tree = trees.tree(session.context().data_fd, who);
    if (::fstat(tree, &st) != 0) throw_errno(kInternal, errno, "fstat");
    info.create_time = directory_create_time(tree, "", st);
    info.modify_time = filetime_from_timespec(st.st_mtim);
    session.send(file_info_reply(info));
    return;
  }
  const int parent = trees.parent(session.context().data_fd, who, path, false);
  switch (entry_kind(parent, path.name(), &st)) {
    case EntryKind::kMissing:
      throw ServiceError(kNotFound, "no " + log_safe(path.text()));
    case EntryKind::kDirectory:
      info.create_time = directory_create_time(parent, path.name().c_str(), st);
      info.modify_time = filetime_from_timespec(st.st_mtim);
      break;
    case EntryKind::kFile:
      info.size = static_cast<std::uint64_t>(st.st_size);
      if (const auto row = session.context().catalog->find_file(who.user_id, who.project,
                                                                  path.text())) {
        info.create_time = row->create_time;
        info.modify_time = row->modify_time;
        info.backup_type = row->backup_type;
        info.reversion = row->reversion;
      } else {
        info.create_time = filetime_from_timespec(st.st_mtim);
        info.modify_time = info.create_time;
      }
      break;
    case EntryKind::kSymlink:
    case EntryKind::kOther:
      throw ServiceError(kInvalidPath, "not a file or directory: " + log_safe(path.text()));
  }
  session.send(file_info_reply(info));
}

void handle_add_dir(Session& session, const Request& request, const Binding& who) {
  const StoragePath path = parse_storage_path(request.get("PathName"));
  session.trees().folder(session.context().data_fd, who, path, path.parts.size(), true);
  session.send(success_reply());
}

void handle_remove_file(Session& session, const Request& request, const Binding& who) {
  const StoragePath path = parse_storage_path(request.get("PathName"));
  if (path.is_root()) throw ServiceError(kInvalidPath, "the root cannot be removed");
  const int parent = session.trees().parent(session.context().data_fd, who, path, false);
  if (entry_kind(parent, path.name()) == EntryKind::kMissing) {
    throw ServiceError(kNotFound, "no " + log_safe(path.text()));
  }
  const int err = remove_entry(parent, path.name());
  if (err != 0) {
    throw_errno(storage_error_code(err, kInternal), err, "remove " + log_safe(path.text()));
  }
  session.context().catalog->remove_tree(who.user_id, who.project, path.text());
  log_info("conn %d: user %s removed %s", session.id(), log_safe(who.user).c_str(),
           log_safe(path.text()).c_str());
  session.send(success_reply());
}
