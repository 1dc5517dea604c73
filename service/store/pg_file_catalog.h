// The catalog of stored trees in a PostgreSQL database, shared by services
// on many hosts: the same tables and rules as the SQLite catalog. A commit
// is durable when it returns (sync() does nothing).
//
// Between services on one database:
// - Every change runs in a SERIALIZABLE transaction, retried whole on a
//   serialization failure (or a deadlock, or a key another transaction
//   took first). The store's rules are checked by reading before writing
//   (the path is free, the folder is a folder, the quota holds), often of
//   rows that do not exist yet; row locks cannot cover rows that are not
//   there, SERIALIZABLE covers every such read.
// - Change numbers come from a sequence; a change, a point or a drop of
//   past rows of a tree first takes the tree's lock (an advisory lock of
//   the session, before its transaction's snapshot), so that within a tree
//   changes commit in the order of their numbers and a point's number
//   covers exactly the changes committed before it.
// - An upload's claim on a content is a shared advisory lock of the
//   session, counted by PostgreSQL; deleting an unneeded content takes the
//   exclusive lock without waiting, and skips the content when another
//   service holds a claim. The lock needs no lease: it ends with the
//   connection, so a service that dies holds nothing. A lost connection
//   is made again only once no upload holds a claim: the uploads that held
//   one fail (their claims went with the session).
// - The collection runs on one service at a time: a lease row (holder,
//   expiry), renewed between steps, taken over once it expired.
//
// One connection serves the whole process; every call takes its lock.
#ifndef BREVANTO_SERVICE_STORE_PG_FILE_CATALOG_H_
#define BREVANTO_SERVICE_STORE_PG_FILE_CATALOG_H_

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "service/store/batch_runner.h"
#include "service/store/catalog_changes.h"
#include "service/store/file_catalog.h"
#include "service/store/pg_connection.h"

class PgFileCatalog : public FileCatalog, private CatalogChanges {
 public:
  // Connects with a libpq connection string and makes or migrates the
  // schema (see pg_schema.h). Throws ServiceError when it cannot.
  explicit PgFileCatalog(const std::string& conninfo);

  void open_tree(const TreeId& tree, std::int64_t now) override;
  std::optional<Entry> top(const TreeId& tree) override;
  std::optional<Entry> find(const TreeId& tree, const std::string& parent,
                            const std::string& name, const View& view) override;
  std::vector<Entry> list(const TreeId& tree, const std::string& dir, const View& view,
                          const std::string& after, std::size_t limit) override;
  void apply(const Change& change, std::int64_t now) override;
  Usage usage(std::int64_t user_id) override;
  std::vector<std::pair<std::int64_t, Usage>> all_usage() override;
  bool has_content(std::int64_t user_id, const std::string& sha256) override;
  std::optional<std::string> read_content(std::int64_t user_id, const std::string& sha256,
                                          bool* external) override;
  void make_point(const TreeId& tree, const std::string& name, std::int64_t made) override;
  std::vector<Point> points(const TreeId& tree) override;
  std::optional<Point> find_point(const TreeId& tree, const std::string& name) override;
  std::vector<TreeId> trees_with_points() override;
  std::size_t forget(const TreeId& tree, const std::vector<std::string>& keep,
                     std::size_t limit) override;
  std::vector<Doomed> doomed(std::size_t limit) override;
  bool is_doomed(const Doomed& content) override;
  void settle_doomed(const Doomed& content) override;
  void claim(std::int64_t user_id, const std::string& sha256) override;
  void release(std::int64_t user_id, const std::string& sha256) override;
  bool delete_unneeded(const Doomed& content, const std::function<bool()>& remove) override;
  bool hold_collection() override;
  void end_collection() override;
  void sync() override {}
  bool dirty() override { return false; }
  void for_each_content(const std::function<void(const StoredContent&)>& visit) override;
  std::vector<std::string> catalog_faults() override;

  // Who this service is in the lease table ("host:pid:random").
  const std::string& holder() const { return holder_; }
  // How long a collection lease lasts unless renewed (tests shorten it).
  void set_lease_seconds(int seconds) { lease_seconds_ = seconds; }

 private:
  struct Pending {
    const Change* change = nullptr;
    std::int64_t now = 0;
    std::exception_ptr failure;
  };
  // Takes the trees' locks, in one order everywhere, for the caller's life.
  class TreeLocks;
  // Runs `body` in a SERIALIZABLE transaction, again while it fails in a
  // way that may pass the next time.
  void in_transaction(const std::function<void()>& body);
  void apply_batch(const std::vector<Pending*>& batch);
  // One try of the batch; false when a change failed after writing and
  // the batch must be made again with a savepoint per change.
  bool try_batch(const std::vector<Pending*>& batch, bool savepoints);
  // The row operations that changes are applied with (catalog_changes.h).
  std::optional<Entry> find_locked(const TreeId& tree, const std::string& parent,
                                   const std::string& name, const View& view) override;
  std::int64_t last_reversion(const TreeId& tree, const std::string& parent,
                              const std::string& name) override;
  void insert_entry(const TreeId& tree, const Entry& entry, std::int64_t seq) override;
  void retire(const TreeId& tree, const std::string& parent, const std::string& name,
              std::int64_t seq) override;
  void retire_below(const TreeId& tree, const std::string& dir, std::int64_t seq) override;
  void add_reference(std::int64_t user_id, const NewContent& content) override;
  void drop_reference(std::int64_t user_id, const std::string& sha256);
  std::int64_t next_seq();
  void add_usage(std::int64_t user_id, std::int64_t bytes, std::int64_t entries);
  Usage usage_locked(std::int64_t user_id);
  void check_quota(const Change& change, const Usage& before);

  // The connection, made again when it was lost and no claim was held on
  // it (claims are locks of the session: they went with it). The lock
  // must be held.
  PgConnection& db();

  std::mutex mu_;
  std::string conninfo_;
  std::unique_ptr<PgConnection> db_;
  long claims_held_ = 0;
  std::string holder_;
  int lease_seconds_ = 60;
  bool wrote_ = false;  // the change being applied has written
  BatchRunner<Pending> batches_;
};

#endif  // BREVANTO_SERVICE_STORE_PG_FILE_CATALOG_H_
