// The catalog of stored trees: what each path of an account's tree holds,
// now and at every kept point in time, and which contents they need.
//
// A tree is an account's project. Each entry is a folder or a file; a file
// names its content by SHA-256. Every change gets the next number of one
// sequence; a change that replaces or removes an entry moves the entry's
// row to the history, with the numbers between which it was current. A
// point is a name with a sequence number: the tree at a point is every
// entry that was current at that number. Contents are counted: each entry
// row, current or past, holds one reference; a content nobody refers to
// any more is dropped, and a content kept outside the catalog (see
// content_store.h) is doomed, to be deleted once its drop is durable.
//
// This is an interface, so that a catalog shared by services on many hosts
// (a database server) can stand in for the SQLite file of one service.
#ifndef BREVANTO_SERVICE_STORE_FILE_CATALOG_H_
#define BREVANTO_SERVICE_STORE_FILE_CATALOG_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "service/errors.h"

// An account's project.
struct TreeId {
  std::int64_t user_id = 0;
  std::string project;
};

struct Entry {
  std::string parent;  // the folder's listing form: "\" or "\a\b\"
  std::string name;
  bool is_dir = false;
  std::string content;  // SHA-256, lower-case hex; files only
  std::int64_t size = 0;
  int backup_type = 0;
  std::int64_t reversion = 0;
  std::int64_t create_time = 0;  // FILETIME counts
  std::int64_t modify_time = 0;
};

// Which state of a tree a read sees: the current one, or a point's.
struct View {
  static constexpr std::int64_t kCurrent = -1;
  std::int64_t seq = kCurrent;
  bool current() const { return seq == kCurrent; }
};

struct Point {
  std::string name;       // UTC, sorts as text: "2026-12-07T221503Z"
  std::int64_t seq = 0;   // the changes it includes: those numbered up to seq
  std::int64_t made = 0;  // FILETIME
};

// A content a new file version refers to. `bytes` holds a small content,
// kept in the catalog; a large one is kept outside (`external`): whole, or
// as chunks when `bytes` holds its chunk list (chunk_list.h). Each chunk
// is an outside content of the account in its own right; a chunked
// content refers to each of its chunks once, and counts no bytes of its
// own in the account's usage (its chunks count theirs).
struct NewContent {
  std::string sha256;
  std::int64_t size = 0;
  bool external = false;
  std::string bytes;
  bool chunked() const { return external && !bytes.empty(); }
};

// The most an account may hold: the bytes of its contents, each counted
// once however many rows name it, and its entries (files and folders,
// current and past versions). 0: no limit. `account` names it in errors.
struct Quota {
  std::int64_t bytes = 0;
  std::int64_t entries = 0;
  std::string account;
};

// What an account holds, counted as a quota is.
struct Usage {
  std::int64_t bytes = 0;
  std::int64_t entries = 0;
};

// One change of a tree. `path` holds the names from the top; `file` the new
// version's size, times and backup type (AddFile, UpdateFile).
struct Change {
  enum Kind { kAddDir, kAddFile, kUpdateFile, kRemove };
  Kind kind = kAddDir;
  TreeId tree;
  std::vector<std::string> path;
  Entry file;
  NewContent content;
  // A change that makes the account hold more than its quota is refused
  // with kDiskFull.
  Quota quota;
};

class FileCatalog {
 public:
  virtual ~FileCatalog() = default;

  // Makes the tree's top folder if it has none. `now` is its creation time.
  virtual void open_tree(const TreeId& tree, std::int64_t now) = 0;
  // The top folder's entry (name and parent empty).
  virtual std::optional<Entry> top(const TreeId& tree) = 0;

  // The entry at `parent` + `name` in the view, if any.
  virtual std::optional<Entry> find(const TreeId& tree, const std::string& parent,
                                    const std::string& name, const View& view) = 0;
  // Up to `limit` entries of the folder `dir` ("\a\"), ordered by name,
  // after the name `after` (empty: from the start).
  virtual std::vector<Entry> list(const TreeId& tree, const std::string& dir, const View& view,
                                  const std::string& after, std::size_t limit) = 0;

  // Applies one change in a transaction of its own; throws ServiceError
  // when the tree does not allow it (kAlreadyExists, kNotFound,
  // kNotADirectory, kIsADirectory), and nothing changes then.
  virtual void apply(const Change& change, std::int64_t now) = 0;

  // What the account holds.
  virtual Usage usage(std::int64_t user_id) = 0;

  // Whether the account holds the content (a new file version can then
  // refer to it without storing it again).
  virtual bool has_content(std::int64_t user_id, const std::string& sha256) = 0;
  // A content kept in the catalog, or a chunked content's chunk list (with
  // `external` set); nullopt when it is kept outside whole or missing.
  // `external` tells which.
  virtual std::optional<std::string> read_content(std::int64_t user_id, const std::string& sha256,
                                                  bool* external) = 0;

  // Points: made (or moved to the latest change, when one of that name
  // exists), listed oldest first, found by name, dropped.
  virtual void make_point(const TreeId& tree, const std::string& name, std::int64_t made) = 0;
  virtual std::vector<Point> points(const TreeId& tree) = 0;
  virtual std::optional<Point> find_point(const TreeId& tree, const std::string& name) = 0;
  // Every tree that has points.
  virtual std::vector<TreeId> trees_with_points() = 0;

  // Drops the points of `tree` not in `keep`, then up to `limit` history
  // rows that no kept point needs. Returns the rows dropped.
  virtual std::size_t forget(const TreeId& tree, const std::vector<std::string>& keep,
                             std::size_t limit) = 0;

  // Outside contents whose drop is durable: each is deleted from the
  // content store, then settled here.
  struct Doomed {
    std::int64_t user_id = 0;
    std::string sha256;
  };
  virtual std::vector<Doomed> doomed(std::size_t limit) = 0;
  virtual bool is_doomed(const Doomed& content) = 0;
  virtual void settle_doomed(const Doomed& content) = 0;

  // An upload's claim on an outside content, from before it looks for the
  // content until its row commits or it gives up: counted, so that every
  // claim is released once. Where services share the catalog, no other
  // service deletes a claimed content (see delete_unneeded()); within
  // one service the store keeps its own count as well.
  virtual void claim(std::int64_t /*user_id*/, const std::string& /*sha256*/) {}
  virtual void release(std::int64_t /*user_id*/, const std::string& /*sha256*/) {}
  // Deletes an outside content that no row names and that no upload of
  // another service sharing the catalog claims: calls `remove` (true when
  // the content is gone), then settles the content if it was doomed. True
  // when it deleted it. The caller has checked its own claims.
  virtual bool delete_unneeded(const Doomed& content, const std::function<bool()>& remove) {
    if (has_content(content.user_id, content.sha256) || !remove()) return false;
    settle_doomed(content);
    return true;
  }

  // The collection (retention and garbage collection) runs on one service
  // at a time where services share the catalog: hold_collection() takes
  // the right to collect, or keeps it while a collection runs (call it
  // between steps); false when another service holds it. Then
  // end_collection() gives it up.
  virtual bool hold_collection() { return true; }
  virtual void end_collection() {}

  // Makes every change so far durable.
  virtual void sync() = 0;
  // Whether changes were made since the last sync.
  virtual bool dirty() = 0;

  // Every account's usage, by user id (`brevanto-service stats`).
  virtual std::vector<std::pair<std::int64_t, Usage>> all_usage() = 0;

  // For the store's check: every content with its size, and its bytes
  // when the catalog keeps them (a chunked content's chunk list); and every fault of the catalog, a line
  // each (see catalog_rules.h).
  struct StoredContent {
    std::int64_t user_id = 0;
    std::string sha256;
    std::int64_t size = 0;
    bool external = false;
    std::string bytes;
  };
  virtual void for_each_content(const std::function<void(const StoredContent&)>& visit) = 0;
  virtual std::vector<std::string> catalog_faults() = 0;
};

#endif  // BREVANTO_SERVICE_STORE_FILE_CATALOG_H_
