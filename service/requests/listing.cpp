#include "service/requests/listing.h"

#include <string>

#include "service/errors.h"
#include "service/log.h"
#include "service/net/request.h"
#include "service/net/session.h"
#include "service/net/socket_io.h"
#include "service/net/stop_signal.h"
#include "service/requests/request_tree.h"
#include "service/store/store.h"
#include "util/ascii.h"

namespace {

constexpr char kHead[] = "<RPT Result=\"success\">";  // "<ACK ..." is as long
constexpr char kTail[] = "</RPT>";
constexpr std::size_t kFrameBytes = sizeof(kHead) - 1 + sizeof(kTail) - 1;

// Packs entry elements into messages and sends each one when full.
class ListingWriter {
 public:
  explicit ListingWriter(Session& session) : session_(session) {}

  void add(bool is_dir, const std::string& parent, const std::string& name) {
    std::string element = is_dir ? "<dir" : "<file";
    element += " ParentDir=\"" + parent + "\" Name=\"" + name + "\"/>";
    if (kFrameBytes + element.size() > kMaxReplyBytes) {
      log_warn("conn %d: listing skips %s%s: path too long for one message", session_.id(),
               log_safe(parent).c_str(), log_safe(name).c_str());
      return;
    }
    if (kFrameBytes + body_.size() + element.size() > kMaxReplyBytes) {
      session_.send(kHead + body_ + kTail);
      body_.clear();
    }
    body_ += element;
  }

  void finish() {
    session_.send(body_.empty() ? "<ACK Result=\"success\"/>"
                                : "<ACK Result=\"success\">" + body_ + "</ACK>");
  }

 private:
  Session& session_;
  std::string body_;
};

}  // namespace

void handle_get_file_list(Session& session, const Request& request, const Binding& who) {
  const StoragePath start = parse_storage_path(request.get("StartDir"));
  const std::string* sub_dirs = request.find("SearchSubDirs");
  const bool recursive = sub_dirs != nullptr && ascii_iequals(*sub_dirs, "true");

  ListingWriter out(session);
  session.context().store->list(tree_of(who), start, recursive, [&](const Entry& entry) {
    if (stop_requested()) throw ServiceError(kInternal, "service stopping");
    out.add(entry.is_dir, entry.parent, entry.name);
  });
  out.finish();
}
