#include "service/requests/tree_requests.h"

#include "service/errors.h"
#include "service/log.h"
#include "service/net/replies.h"
#include "service/net/request.h"
#include "service/net/session.h"
#include "service/requests/request_tree.h"
#include "service/store/store.h"

void handle_get_file_info(Session& session, const Request& request, const Binding& who) {
  const StoragePath path = parse_storage_path(request.get("PathName"));
  Entry entry;
  try {
    entry = session.context().store->stat(tree_of(who), path);
  } catch (const ServiceError& e) {
    if (e.code() != kNotFound) throw;
    throw ServiceError(kNotFound, "no " + log_safe(path.text()));
  }
  EntryInfo info;
  info.size = entry.is_dir ? 0 : static_cast<std::uint64_t>(entry.size);
  info.create_time = entry.create_time;
  info.modify_time = entry.modify_time;
  info.backup_type = entry.backup_type;
  info.reversion = entry.reversion;
  session.send(file_info_reply(info));
}

void handle_add_dir(Session& session, const Request& request, const Binding& who) {
  const StoragePath path = parse_storage_path(request.get("PathName"));
  session.context().store->add_dir(tree_of(who), path);
  session.note_change(who);
  session.send(success_reply());
}

void handle_remove_file(Session& session, const Request& request, const Binding& who) {
  const StoragePath path = parse_storage_path(request.get("PathName"));
  session.context().store->remove(tree_of(who), path);
  session.note_change(who);
  log_info("conn %d: user %s removed %s", session.id(), log_safe(who.user).c_str(),
           log_safe(path.text()).c_str());
  session.send(success_reply());
}
