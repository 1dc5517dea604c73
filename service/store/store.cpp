#include "service/store/store.h"

#include <sys/mman.h>
#include <time.h>

#include <ctime>
#include <unistd.h>

#include <cerrno>

#include "service/errors.h"
#include "service/log.h"
#include "service/store/catalog_paths.h"
#include "service/store/filetime.h"
#include "service/store/point_names.h"

namespace {

constexpr std::size_t kPageEntries = 512;
constexpr std::size_t kForgetRows = 256;

Entry folder_entry(const std::string& parent, const std::string& name, std::int64_t time) {
  Entry e;
  e.parent = parent;
  e.name = name;
  e.is_dir = true;
  e.create_time = e.modify_time = time;
  return e;
}

}  // namespace

Store::Store(FileCatalog& catalog, ContentStore& contents, RetentionPolicy retention,
             std::chrono::milliseconds sync_interval, Clock clock)
    : catalog_(catalog),
      contents_(contents),
      retention_(retention),
      clock_(std::move(clock)),
      housekeeper_(Housekeeper::Tasks{[this] {
                                        catalog_.sync();
                                        delete_doomed();
                                      },
                                      [this] { collect(); }},
                   sync_interval) {}

Store::~Store() = default;

void Store::open_tree(const TreeId& tree) {
  // A read-only store shows a tree that was never made as an empty one.
  if (!read_only_) catalog_.open_tree(tree, filetime_now());
}

Store::Resolved Store::resolve(const TreeId& tree, const StoragePath& path) {
  Resolved where;
  if (path.parts.empty() || path.parts[0] != kHistoryName) {
    where.parts = path.parts;
    return where;
  }
  if (path.parts.size() == 1) {
    where.kind = Resolved::kHistoryTop;
    return where;
  }
  const auto point = catalog_.find_point(tree, path.parts[1]);
  if (!point) throw ServiceError(kNotFound, "no point " + log_safe(path.parts[1]));
  where.kind = path.parts.size() == 2 ? Resolved::kPointTop : Resolved::kTree;
  where.point = *point;
  where.view.seq = point->seq;
  where.parts.assign(path.parts.begin() + 2, path.parts.end());
  where.prefix = std::string("\\") + kHistoryName + "\\" + point->name;
  return where;
}

Entry Store::entry_at(const TreeId& tree, const Resolved& where) {
  // The top of the tree is looked up only for the entries that show it.
  switch (where.kind) {
    case Resolved::kHistoryTop: {
      const auto top = catalog_.top(tree);
      return folder_entry("\\", kHistoryName, top ? top->create_time : 0);
    }
    case Resolved::kPointTop:
      return folder_entry(std::string("\\") + kHistoryName + "\\", where.point.name,
                          where.point.made);
    case Resolved::kTree: break;
  }
  if (where.parts.empty()) {
    if (const auto top = catalog_.top(tree)) return *top;
    if (read_only_ && where.view.current()) return folder_entry("", "", 0);
    throw ServiceError(kNotFound, "no tree");
  }
  const auto found = catalog_.find(tree, folder_text(where.parts, where.parts.size() - 1),
                                   where.parts.back(), where.view);
  if (!found) throw ServiceError(kNotFound, "no such entry");
  return *found;
}

Entry Store::stat(const TreeId& tree, const StoragePath& path) {
  return entry_at(tree, resolve(tree, path));
}

void Store::list(const TreeId& tree, const StoragePath& dir, bool recursive,
                 const std::function<void(const Entry&)>& each) {
  const Resolved where = resolve(tree, dir);
  if (!entry_at(tree, where).is_dir) throw ServiceError(kNotADirectory, "not a directory");
  if (where.kind == Resolved::kHistoryTop) {
    for (const Point& point : catalog_.points(tree)) {
      each(folder_entry(std::string("\\") + kHistoryName + "\\", point.name, point.made));
      if (!recursive) continue;
      StoragePath inside = dir;
      inside.parts.push_back(point.name);
      list(tree, inside, true, each);
    }
    return;
  }
  // The points are listed at the top of the current tree, as a folder that
  // a recursive listing does not enter.
  if (where.view.current() && where.parts.empty()) {
    const auto top = catalog_.top(tree);
    each(folder_entry("\\", kHistoryName, top ? top->create_time : 0));
  }
  list_folder(tree, where.view, folder_text(where.parts, where.parts.size()), where.prefix,
              recursive, 0, each);
}

void Store::list_folder(const TreeId& tree, const View& view, const std::string& folder,
                        const std::string& prefix, bool recursive, int depth,
                        const std::function<void(const Entry&)>& each) {
  std::string after;
  for (;;) {
    std::vector<Entry> page = catalog_.list(tree, folder, view, after, kPageEntries);
    for (Entry& entry : page) {
      after = entry.name;
      const std::string below = entry.parent + entry.name + '\\';
      if (!prefix.empty()) entry.parent = prefix + entry.parent;
      each(entry);
      // Depth first: a folder's entries follow its own.
      if (recursive && entry.is_dir && depth + 1 < static_cast<int>(kMaxStoragePathDepth)) {
        list_folder(tree, view, below, prefix, true, depth + 1, each);
      }
    }
    if (page.size() < kPageEntries) return;
  }
}

UniqueFd Store::open_file(const TreeId& tree, const StoragePath& path, Entry* entry) {
  ContentSource source = open_content(tree, path, entry);
  if (source.whole_fd() >= 0) return UniqueFd(::dup(source.whole_fd()));
  UniqueFd fd(::memfd_create("brevanto-content", MFD_CLOEXEC));
  if (!fd.valid()) throw_errno(kInternal, errno, "memfd_create");
  source.copy_to(fd.get());
  ::lseek(fd.get(), 0, SEEK_SET);
  return fd;
}

ContentSource Store::open_content(const TreeId& tree, const StoragePath& path, Entry* entry) {
  // A content kept as chunks is read chunk by chunk, for as long as the
  // download takes: its chunks are claimed first, so that a collection
  // that drops the version meanwhile does not delete them. A version
  // dropped between the look and the claims is looked up again.
  for (int attempt = 1;; ++attempt) {
    *entry = stat(tree, path);
    if (entry->is_dir) throw ServiceError(kIsADirectory, "a directory");
    bool external = false;
    auto kept = catalog_.read_content(tree.user_id, entry->content, &external);
    if (kept && !external) return ContentSource::kept(std::move(*kept));
    if (!kept) {
      if (!external) throw ServiceError(kInternal, "content missing from the catalog");
      UniqueFd fd = contents_.open(tree.user_id, entry->content);
      if (!fd.valid()) throw_errno(kInternal, errno, "open content " + entry->content);
      return ContentSource::whole(std::move(fd));
    }
    std::vector<ChunkRef> chunks;
    if (!parse_chunk_list(*kept, &chunks)) {
      throw ServiceError(kInternal, "the chunk list of " + entry->content + " is damaged");
    }
    auto hold = claim_chunks(tree.user_id, distinct_chunks(chunks));
    // Held now means each chunk is referenced, so in place, and claimed
    // from here on.
    if (catalog_.has_content(tree.user_id, entry->content) || attempt == 3) {
      return ContentSource::chunks(contents_, tree.user_id, std::move(chunks), std::move(hold));
    }
  }
}

std::shared_ptr<void> Store::claim_chunks(std::int64_t user_id,
                                          const std::vector<ChunkRef>& chunks) {
  struct Claims {
    Store* store;
    std::int64_t user_id;
    std::vector<std::string> claimed;
    ~Claims() {
      for (const std::string& sha256 : claimed) store->release_claim(user_id, sha256, false);
    }
  };
  auto claims = std::make_shared<Claims>(Claims{this, user_id, {}});
  for (const ChunkRef& chunk : chunks) {
    claim(user_id, chunk.sha256);
    claims->claimed.push_back(chunk.sha256);
  }
  return claims;
}

void Store::check_writable(const StoragePath& path) const {
  if (read_only_) throw ServiceError(kReadOnly, "the storage root is served read-only");
  if (!path.parts.empty() && path.parts[0] == kHistoryName) {
    throw ServiceError(kReadOnly, "a change below \\.history");
  }
}

bool Store::over_quota(std::int64_t user_id, std::int64_t size, std::string* why) {
  if (!quota_of_) return false;
  const Quota quota = quota_of_(user_id);
  const Usage used = catalog_.usage(user_id);
  if (quota.bytes <= 0 || used.bytes + size <= quota.bytes) return false;
  *why = "the quota of account " + quota.account + " is reached: " + std::to_string(used.bytes) +
         " of " + std::to_string(quota.bytes) + " bytes held, " + std::to_string(size) +
         " more asked";
  return true;
}

bool Store::has_room(std::int64_t user_id, std::int64_t size, std::string* why) {
  if (over_quota(user_id, size, why)) return false;
  // Room to spare for the catalog's own growth.
  constexpr std::int64_t kSpare = 1 << 20;
  const std::int64_t free = contents_.free_bytes();
  if (free < size || free - size < kSpare) {
    *why = "no room for " + std::to_string(size) + " bytes (" + std::to_string(free) + " free)";
    return false;
  }
  return true;
}

void Store::check_put(const TreeId& tree, const StoragePath& path, bool update) {
  check_writable(path);
  if (path.is_root()) throw ServiceError(kInvalidPath, "the root is not a file");
  const auto found =
      catalog_.find(tree, folder_text(path.parts, path.parts.size() - 1), path.name(), View{});
  if (update) {
    if (!found) throw ServiceError(kNotFound, "no " + log_safe(path.text()));
    if (found->is_dir) throw ServiceError(kIsADirectory, log_safe(path.text()) + " is a directory");
  } else if (found) {
    throw ServiceError(kAlreadyExists, log_safe(path.text()) + " exists");
  }
}

void Store::add_dir(const TreeId& tree, const StoragePath& path) {
  check_writable(path);
  Change change;
  change.kind = Change::kAddDir;
  change.tree = tree;
  change.path = path.parts;
  if (quota_of_) change.quota = quota_of_(tree.user_id);
  catalog_.apply(change, filetime_now());
}

void Store::remove(const TreeId& tree, const StoragePath& path) {
  check_writable(path);
  if (path.is_root()) throw ServiceError(kInvalidPath, "the root cannot be removed");
  Change change;
  change.kind = Change::kRemove;
  change.tree = tree;
  change.path = path.parts;
  catalog_.apply(change, filetime_now());
}

void Store::put_file(const TreeId& tree, const StoragePath& path, bool update,
                     NewContent content, ContentWriter* writer, const Entry& file) {
  check_writable(path);
  if (path.is_root()) throw ServiceError(kInvalidPath, "the root is not a file");
  Change change;
  change.kind = update ? Change::kUpdateFile : Change::kAddFile;
  change.tree = tree;
  change.path = path.parts;
  change.file = file;
  if (quota_of_) change.quota = quota_of_(tree.user_id);
  if (!content.external) {
    change.content = std::move(content);
    catalog_.apply(change, filetime_now());
    return;
  }
  // The claim keeps the content from being deleted, as doomed or by a
  // refused upload of the same bytes, between the look and the row that
  // refers to it.
  const std::int64_t user_id = tree.user_id;
  const std::string sha256 = content.sha256;
  claim(user_id, sha256);
  bool placed = false;
  try {
    // A chunked content's chunks are in place already, claimed by its upload.
    if (!content.chunked() && !catalog_.has_content(user_id, sha256)) {
      if (writer == nullptr) {
        std::string why = "no room";
        if (over_quota(user_id, content.size, &why)) throw QuotaReached(why);
        has_room(user_id, content.size, &why);
        throw ServiceError(kDiskFull, why);
      }
      if (const int err = writer->place(sha256)) {
        throw_errno(storage_error_code(err, kInternal), err, "store content");
      }
      placed = true;
    }
    change.content = std::move(content);
    catalog_.apply(change, filetime_now());
  } catch (...) {
    release_claim(user_id, sha256, placed);
    throw;
  }
  release_claim(user_id, sha256, false);
}

void Store::claim(std::int64_t user_id, const std::string& sha256) {
  const auto key = std::make_pair(user_id, sha256);
  {
    std::lock_guard<std::mutex> lock(claims_mu_);
    claims_.insert(key);
  }
  // Other services sharing the catalog see the claim too.
  try {
    catalog_.claim(user_id, sha256);
  } catch (...) {
    std::lock_guard<std::mutex> lock(claims_mu_);
    claims_.erase(claims_.find(key));
    throw;
  }
}

void Store::release_claim(std::int64_t user_id, const std::string& sha256, bool placed) {
  const auto key = std::make_pair(user_id, sha256);
  std::lock_guard<std::mutex> lock(claims_mu_);
  // A content put in place for a change that was refused is deleted only
  // when nothing refers to it and no other upload in flight claims it:
  // that one may have found it in place, or placed the same bytes under
  // the same name, and its row may commit after this.
  // A failure here must not keep the claim: it is logged, and the content
  // left for the sweep at the next start.
  try {
    if (placed && claims_.count(key) == 1) {
      catalog_.delete_unneeded(FileCatalog::Doomed{user_id, sha256},
                               [&] { return contents_.remove(user_id, sha256) == 0; });
    }
  } catch (const std::exception& e) {
    log_error("store: a content placed for a refused change was kept: %s", e.what());
  }
  claims_.erase(claims_.find(key));
  try {
    catalog_.release(user_id, sha256);
  } catch (const std::exception& e) {
    log_error("store: cannot release a claim: %s", e.what());
  }
}

bool Store::end_session(const TreeId& tree, bool wait) {
  if (read_only_) return true;
  make_point(tree);
  housekeeper_.collect_soon();
  return wait ? housekeeper_.sync_now() : true;
}

void Store::make_point(const TreeId& tree) {
  // One point at a time, so that two sessions ending together see each
  // other's point.
  std::lock_guard<std::mutex> lock(points_mu_);
  const std::int64_t now = clock_();
  const std::vector<Point> points = catalog_.points(tree);
  std::optional<Point> newest;
  if (!points.empty()) newest = points.back();
  bool stepped_back = false;
  const std::string name = next_point_name(newest, now, &stepped_back);
  if (stepped_back) {
    log_warn("store: the clock (%s) is behind the newest point %s of user %lld: the new point is "
             "named %s",
             point_name_at(now).c_str(), newest->name.c_str(),
             static_cast<long long>(tree.user_id), name.c_str());
  }
  catalog_.make_point(tree, name, now);
}

void Store::collect() {
  if (read_only_) return;
  // Where services share the catalog, one of them collects at a time.
  if (!catalog_.hold_collection()) return;
  struct EndCollection {
    FileCatalog& catalog;
    ~EndCollection() {
      try {
        catalog.end_collection();
      } catch (const std::exception& e) {
        log_error("store: cannot give up the collection: %s", e.what());
      }
    }
  } end_collection{catalog_};
  const std::int64_t now = clock_();
  std::size_t dropped = 0;
  for (const TreeId& tree : catalog_.trees_with_points()) {
    const std::vector<std::string> keep = points_to_keep(catalog_.points(tree), retention_, now);
    // Small steps, so that no upload waits long for the catalog.
    for (;;) {
      if (!catalog_.hold_collection()) return;
      const std::size_t n = catalog_.forget(tree, keep, kForgetRows);
      dropped += n;
      if (n < kForgetRows) break;
    }
  }
  if (dropped > 0) {
    log_info("store: dropped %zu past version(s) no kept point needs", dropped);
    catalog_.sync();
    delete_doomed();
  }
}

void Store::delete_doomed() {
  if (read_only_) return;
  // Runs after a sync: every doomed content's drop is durable.
  for (;;) {
    const std::vector<FileCatalog::Doomed> doomed = catalog_.doomed(kForgetRows);
    std::size_t settled = 0;
    for (const FileCatalog::Doomed& content : doomed) {
      std::lock_guard<std::mutex> lock(claims_mu_);
      if (claims_.count(std::make_pair(content.user_id, content.sha256)) > 0) continue;
      // A claim that ended since the doomed list was read may have stored
      // the content again; another service's upload may claim it.
      if (!catalog_.is_doomed(content)) continue;
      if (!catalog_.delete_unneeded(content, [&] {
            return contents_.remove(content.user_id, content.sha256) == 0;
          })) {
        continue;
      }
      ++settled;
    }
    if (doomed.size() < kForgetRows || settled == 0) return;
  }
}
