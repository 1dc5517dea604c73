#include "service/requests/transfers.h"

#include <sys/stat.h>

#include <cinttypes>
#include <memory>
#include <optional>

#include "service/store/chunked_content_writer.h"
#include "service/store/content_copy.h"
#include "service/errors.h"
#include "service/store/filetime.h"
#include "service/requests/request_tree.h"
#include "service/store/store.h"
#include "service/local/local_paths.h"
#include "service/local/local_writer.h"
#include "service/log.h"
#include "service/net/progress_reporter.h"
#include "service/net/replies.h"
#include "service/net/request.h"
#include "service/net/session.h"
#include "util/text.h"

namespace {


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
  Store& store = *context.store;
  const TreeId tree = tree_of(who);
  LocalRoots::Source source = context.local_roots->open_source(local, session.local_user(),
                                                                   &session.clear_folders());
  ProgressReporter progress(session.replies(), static_cast<std::uint64_t>(source.st.st_size));

  // A small content is read into memory and goes into the catalog; a
  // large one is written to the content store on the way.
  NewContent content;
  std::unique_ptr<ContentWriter> writer;
  CopyResult copied;
  // A large content is read only for a change the tree allows; for a small
  // one the store's own check, when the change is made, is enough.
  if (source.st.st_size > Store::kInlineMaxBytes) store.check_put(tree, path, update);
  std::optional<ChunkedContentWriter> chunks;
  if (source.st.st_size <= Store::kInlineMaxBytes) {
    copied = read_content(source.fd.get(), Store::kInlineMaxBytes + 1, &content.bytes, progress,
                          kLocalRefused);
  } else if (source.st.st_size >= Store::kChunkedMinBytes) {
    // Stored as chunks on the way, each unless the account holds it (the
    // room is asked chunk by chunk).
    chunks.emplace(store, who.user_id, static_cast<std::uint64_t>(source.st.st_size));
    copied = read_content_into(source.fd.get(), progress, kLocalRefused,
                               [&](const unsigned char* data, std::size_t size) {
                                 chunks->write(data, size);
                               });
    chunks->finish(&content, &writer);
    content.external = true;
  } else {
    // A content with no room (quota or free space) is only hashed, not
    // written: the account may hold it already, and then it is stored all
    // the same. Each byte is read once either way.
    std::string why;
    bool full = !store.has_room(who.user_id, source.st.st_size, &why);
    if (!full) {
      try {
        writer = store.begin_content(who.user_id);
      } catch (const ServiceError& e) {
        if (e.code() != kDiskFull) throw;
        full = true;
      }
    }
    copied = copy_content_unless_full(source.fd.get(), full ? -1 : writer->fd(), progress,
                                      kLocalRefused, &full);
    if (full) writer.reset();
    content.external = true;
  }
  check_unchanged(source, copied.bytes, local);
  progress.finish(copied.bytes);
  content.sha256 = copied.sha256;
  content.size = static_cast<std::int64_t>(copied.bytes);

  Entry file;
  file.backup_type = 0;  // a full copy
  file.create_time = filetime_now();
  file.modify_time = filetime_from_timespec(source.st.st_mtim);
  store.put_file(tree, path, update, std::move(content), writer.get(), file);
  session.note_change(who);
  log_info("conn %d: user %s %s %s (%" PRIu64 " bytes)", session.id(), log_safe(who.user).c_str(),
           update ? "updated" : "added", log_safe(path.text()).c_str(), copied.bytes);
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
  LocalRoots::CheckedTarget checked =
      context.local_roots->check_target(local, session.local_user(), &session.clear_folders());
  Entry entry;
  const ContentSource source = context.store->open_content(tree_of(who), path, &entry);
  const timespec mtime = timespec_from_filetime(entry.modify_time);
  ProgressReporter progress(session.replies(), static_cast<std::uint64_t>(entry.size));
  const std::uint64_t bytes =
      write_local_file(*context.local_roots, std::move(checked), local,
                       source, mtime, *context.catalog, progress);
  log_info("conn %d: user %s downloaded %s (%" PRIu64 " bytes)", session.id(),
           log_safe(who.user).c_str(), log_safe(path.text()).c_str(), bytes);
  session.send(success_reply());
}
