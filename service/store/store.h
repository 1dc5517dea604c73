// The store: trees of folders and files, every earlier version kept, each
// content stored once per account, over two parts: the catalog (what each
// path holds, file_catalog.h) and the content store for large contents
// (content_store.h); small contents live in the catalog.
//
// Paths below "\.history" are read-only views: "\.history\<point>\..." is
// the tree as it was at a point, made when a session that changed the tree
// ends (see end_session()). Every change there is refused.
//
// Durability: a change is durable against a crash of the service when its
// call returns, and against a power cut within a second, or at once for a
// session that ends with end_session(wait = true). A large content is
// synced before any row refers to it, so a row never outlives its content.
#ifndef BREVANTO_SERVICE_STORE_STORE_H_
#define BREVANTO_SERVICE_STORE_STORE_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "service/store/content_source.h"
#include "service/store/content_store.h"
#include "service/store/file_catalog.h"
#include "service/store/filetime.h"
#include "service/store/housekeeper.h"
#include "service/store/retention.h"
#include "service/store/storage_paths.h"
#include "service/unique_fd.h"

// The name of the read-only folder of points at the top of every tree.
constexpr char kHistoryName[] = ".history";

class Store {
 public:
  // Contents up to this size live in the catalog; larger ones in the
  // content store (see BENCHMARKS.md for the measurement behind it).
  static constexpr std::int64_t kInlineMaxBytes = 64 * 1024;
  // Larger contents are stored as chunks (chunker.h), so that a version
  // that changes part of a file stores about that part.
  static constexpr std::int64_t kChunkedMinBytes = 2 * 1024 * 1024 + 1;

  // The clock that names points and dates them for the retention, as a
  // FILETIME count; tests set their own.
  using Clock = std::function<std::int64_t()>;

  Store(FileCatalog& catalog, ContentStore& contents, RetentionPolicy retention,
        std::chrono::milliseconds sync_interval = std::chrono::seconds(1),
        Clock clock = filetime_now);
  ~Store();

  // Each account's quota, asked at every change; none by default.
  using QuotaOf = std::function<Quota(std::int64_t user_id)>;
  void set_quotas(QuotaOf quota_of) { quota_of_ = std::move(quota_of); }
  // A read-only store serves reads and refuses every change (kReadOnly);
  // it makes no tree, point or collection.
  void set_read_only() { read_only_ = true; }
  bool read_only() const { return read_only_; }

  // Makes the tree's top folder at its first login.
  void open_tree(const TreeId& tree);

  // The entry at `path` (the top folder for the root). Throws
  // ServiceError(kNotFound).
  Entry stat(const TreeId& tree, const StoragePath& path);
  // Calls `each` for the entries below the folder `dir`, page by page
  // (the catalog is not held while `each` runs). Throws kNotFound,
  // kNotADirectory.
  void list(const TreeId& tree, const StoragePath& dir, bool recursive,
            const std::function<void(const Entry&)>& each);
  // The file's content, open for reading from its start, and its entry.
  UniqueFd open_file(const TreeId& tree, const StoragePath& path, Entry* entry);
  // The same for a download: the content as it is kept (no in-memory file
  // is made for it).
  ContentSource open_content(const TreeId& tree, const StoragePath& path, Entry* entry);

  // Refuses a change under "\.history", or of a read-only store (kReadOnly).
  void check_writable(const StoragePath& path) const;
  // Refuses an upload early, before its bytes are read: the same checks as
  // put_file() makes.
  void check_put(const TreeId& tree, const StoragePath& path, bool update);

  void add_dir(const TreeId& tree, const StoragePath& path);
  void remove(const TreeId& tree, const StoragePath& path);
  // A large content on its way into the content store.
  std::unique_ptr<ContentWriter> begin_content(std::int64_t user_id) {
    return contents_.begin(user_id);
  }
  // Places chunks written through begin_content() writers together (see
  // ContentStore::place_all()).
  std::size_t place_all(const std::vector<ContentStore::Placement>& batch, int* err) {
    return contents_.place_all(batch, err);
  }
  // An upload's claim on an outside content (a whole one, or a chunk) that
  // it found held or is about to place: the content is not deleted, as
  // doomed or by a refused upload of the same bytes, until the claim is
  // released, after the row that refers to it committed or was refused.
  // Claims are counted. `placed`: this upload put the content in place;
  // it is deleted at the release when no row names it and no other claim
  // holds it.
  void claim(std::int64_t user_id, const std::string& sha256);
  void release_claim(std::int64_t user_id, const std::string& sha256, bool placed);
  // Whether the account holds the content (with a claim on it, it stays).
  bool holds(std::int64_t user_id, const std::string& sha256) {
    return catalog_.has_content(user_id, sha256);
  }
  // Whether a new content of `size` bytes fits the account's quota and the
  // free space; when not, `why` tells what is short. A content that does
  // not fit is not written: it can still be stored if the account holds
  // it already (see put_file()).
  bool has_room(std::int64_t user_id, std::int64_t size, std::string* why);
  // Whether `size` more bytes pass the account's quota; when not, `why`
  // tells by how much.
  bool over_quota(std::int64_t user_id, std::int64_t size, std::string* why);
  // Stores a file version: `content` with its bytes (small), written
  // through `writer` (large), or as chunks its upload placed and claims
  // (chunked: see ChunkedContentWriter); `file` carries its times and
  // backup type. A large content without `writer` (it had no room) is
  // stored only when the account holds it already, else refused with
  // kDiskFull.
  void put_file(const TreeId& tree, const StoragePath& path, bool update, NewContent content,
                ContentWriter* writer, const Entry& file);

  // A session that changed `tree` ends: makes a point and, when `wait`,
  // returns once every change is durable. False when the sync failed.
  bool end_session(const TreeId& tree, bool wait);

  // Makes every change durable now.
  bool sync() { return housekeeper_.sync_now(); }
  // Runs the retention and garbage collection now (tests, start-up).
  void collect();

 private:
  // A path split into its view: the tree at a point, or the current one.
  struct Resolved {
    enum Kind { kTree, kHistoryTop, kPointTop } kind = kTree;
    View view;
    Point point;
    std::vector<std::string> parts;  // the path inside the viewed tree
    std::string prefix;              // "\.history\<point>" for listings
  };
  Resolved resolve(const TreeId& tree, const StoragePath& path);
  Entry entry_at(const TreeId& tree, const Resolved& where);
  void list_folder(const TreeId& tree, const View& view, const std::string& folder,
                   const std::string& prefix, bool recursive, int depth,
                   const std::function<void(const Entry&)>& each);
  void delete_doomed();
  // Claims each chunk for a reader; the claims end when the result goes.
  std::shared_ptr<void> claim_chunks(std::int64_t user_id, const std::vector<ChunkRef>& chunks);
  // Makes the point of a session's end (see point_names.h).
  void make_point(const TreeId& tree);

  FileCatalog& catalog_;
  ContentStore& contents_;
  RetentionPolicy retention_;
  Clock clock_;
  QuotaOf quota_of_;
  bool read_only_ = false;
  std::mutex points_mu_;
  // Contents claimed by uploads in flight, counted (one per upload): not
  // deleted meanwhile, even when doomed or placed by a refused upload.
  std::mutex claims_mu_;
  std::multiset<std::pair<std::int64_t, std::string>> claims_;
  Housekeeper housekeeper_;
};

#endif  // BREVANTO_SERVICE_STORE_STORE_H_
