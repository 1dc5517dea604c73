#include "service/requests/listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "service/store/atomic_file.h"
#include "service/errors.h"
#include "service/log.h"
#include "service/store/remove_tree.h"
#include "service/net/request.h"
#include "service/net/session.h"
#include "service/net/socket_io.h"
#include "service/net/stop_signal.h"
#include "service/store/storage_tree.h"
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

struct Entry {
  std::string name;
  bool is_dir;
  bool operator<(const Entry& other) const { return name < other.name; }
};

// The listable entries of `dir_fd`, sorted.
std::vector<Entry> read_entries(Session& session, int dir_fd, const std::string& parent) {
  const int listing_fd = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (listing_fd < 0) throw_errno(kInternal, errno, "dup while listing " + log_safe(parent));
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(listing_fd), ::closedir);
  if (dir == nullptr) {
    const int err = errno;
    ::close(listing_fd);
    throw_errno(kInternal, err, "fdopendir");
  }
  // The duplicate shares its offset with `dir_fd`, which a cached folder
  // keeps from an earlier listing.
  ::rewinddir(dir.get());
  std::vector<Entry> entries;
  for (;;) {
    errno = 0;
    const dirent* d = ::readdir(dir.get());
    if (d == nullptr) {
      const int err = errno;
      if (err == 0) break;
      throw_errno(kInternal, err, "readdir " + log_safe(parent));
    }
    const std::string name = d->d_name;
    if (name == "." || name == ".." || is_temp_name(name)) continue;
    bool is_dir;
    if (d->d_type == DT_DIR || d->d_type == DT_REG) {
      is_dir = d->d_type == DT_DIR;
    } else if (d->d_type == DT_UNKNOWN) {
      const EntryKind kind = entry_kind(dir_fd, name);
      if (kind != EntryKind::kFile && kind != EntryKind::kDirectory) continue;
      is_dir = kind == EntryKind::kDirectory;
    } else {
      continue;  // symbolic links and special files are not part of the tree
    }
    if (!valid_name(name)) {
      log_warn("conn %d: listing skips %s%s: name cannot be sent", session.id(),
               log_safe(parent).c_str(), log_safe(name).c_str());
      continue;
    }
    entries.push_back(Entry{name, is_dir});
  }
  dir.reset();
  std::sort(entries.begin(), entries.end());
  return entries;
}

void list_directory(Session& session, ListingWriter& out, int dir_fd, const std::string& parent,
                    bool recursive, int depth) {
  if (stop_requested()) throw ServiceError(kInternal, "service stopping");
  for (const Entry& entry : read_entries(session, dir_fd, parent)) {
    out.add(entry.is_dir, parent, entry.name);
    if (!recursive || !entry.is_dir) continue;
    if (depth + 1 >= kMaxTreeDepth) {
      log_warn("conn %d: listing does not descend below %s%s: too deep", session.id(),
               log_safe(parent).c_str(), log_safe(entry.name).c_str());
      continue;
    }
    UniqueFd child(::openat(dir_fd, entry.name.c_str(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!child.valid()) {
      // A folder removed meanwhile is simply gone; any other failure would
      // leave its subtree out, so the listing fails rather than look whole.
      if (errno == ENOENT) continue;
      throw_errno(kInternal, errno,
                  "cannot list " + log_safe(parent) + log_safe(entry.name));
    }
    list_directory(session, out, child.get(), parent + entry.name + '\\', true, depth + 1);
  }
}

}  // namespace

void handle_get_file_list(Session& session, const Request& request, const Binding& who) {
  const StoragePath start = parse_storage_path(request.get("StartDir"));
  const std::string* sub_dirs = request.find("SearchSubDirs");
  const bool recursive = sub_dirs != nullptr && ascii_iequals(*sub_dirs, "true");

  const int dir =
      session.trees().folder(session.context().data_fd, who, start, start.parts.size(), false);
  ListingWriter out(session);
  list_directory(session, out, dir, start.dir_text(), recursive, 0);
  out.finish();
}
