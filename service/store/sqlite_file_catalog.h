// The catalog of stored trees in one SQLite file (WAL, exclusive locking:
// only this service opens it). Changes are applied in batches inside one
// open transaction, each batch logged in the change log beside the file
// before it returns (change_log.h): an applied change survives a crash of
// the service at once, and a power cut once sync() has run, which commits
// the transaction durably (see durability.h). Every call takes the
// catalog's lock.
#ifndef BREVANTO_SERVICE_STORE_SQLITE_FILE_CATALOG_H_
#define BREVANTO_SERVICE_STORE_SQLITE_FILE_CATALOG_H_

#include <exception>
#include <functional>
#include <memory>
#include <mutex>

#include "service/store/batch_runner.h"
#include "service/store/catalog_changes.h"
#include "service/store/change_log.h"
#include "service/store/file_catalog.h"
#include "service/store/sqlite_db.h"
#include "service/unique_fd.h"

class SqliteFileCatalog : public FileCatalog, private CatalogChanges {
 public:
  // A read-only catalog is only read: every change fails. Changes that a
  // crash left in the change log are applied again first (read-only: they
  // are left for the next start, and a warning says so).
  explicit SqliteFileCatalog(const std::string& file, bool read_only = false);
  // Commits what is applied.
  ~SqliteFileCatalog() override;

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
  void sync() override;
  bool dirty() override;

  // For the migration from the older layout: whether the catalog was
  // filled, and marking it so (once the last rows are committed).
  bool migrated();
  void set_migrated();

  void for_each_content(const std::function<void(const StoredContent&)>& visit) override;
  std::vector<std::string> catalog_faults() override;

 private:
  // A change waiting for the next batch: the changes that come while one
  // batch commits share the next transaction.
  struct Pending {
    const Change* change = nullptr;
    std::int64_t now = 0;
    std::exception_ptr failure;
    std::int64_t seq = 0;  // the number it was applied as
  };
  void apply_batch(const std::vector<Pending*>& batch);
  // The batch without a savepoint per change; false, with nothing of it
  // written, when a change failed after writing.
  bool apply_batch_plainly(const std::vector<Pending*>& batch);
  // The batch with each change in a savepoint of its own.
  void apply_batch_in_savepoints(const std::vector<Pending*>& batch);
  // Applies one change; returns its number.
  std::int64_t apply_one(const Change& change, std::int64_t now);
  // Takes back what the batch wrote so far (savepoint "batch"); when SQLite
  // gave up the whole transaction, restores the earlier batches' changes
  // from the log and opens the savepoint again.
  void undo_batch();
  // Opens the transaction that holds applied changes until commit_held().
  void begin_held();
  // Commits the open transaction (with the number of its last change), and
  // empties the change log; durably (the catalog's log synced) or not.
  void commit_held(bool durable);
  // sync() with the lock held.
  void sync_locked();
  // Syncs the catalog's log file, and so every commit written to it, with
  // no lock held; false when it cannot be opened.
  bool sync_log_file();
  // Writes the number of the last change applied (meta 'seq').
  void write_seq();
  // Applies the logged changes the catalog does not hold (numbered past
  // committed_seq_), in the open transaction; returns how many.
  std::size_t replay_log();
  // After a failure: when SQLite gave up the open transaction, the changes
  // it held are applied again from the log.
  void restore_held();
  // The row operations that changes are applied with (catalog_changes.h).
  std::optional<Entry> find_locked(const TreeId& tree, const std::string& parent,
                                   const std::string& name, const View& view) override;
  std::int64_t last_reversion(const TreeId& tree, const std::string& parent,
                              const std::string& name) override;
  void insert_entry(const TreeId& tree, const Entry& entry, std::int64_t seq) override;
  // Runs `copy_sql` and `drop_sql` (see RETIRE_COPY) with ?3 = a, ?4 = b.
  void move_to_history(const char* copy_sql, const char* drop_sql, const TreeId& tree,
                       const std::string& a, const std::string& b, std::int64_t seq);
  void retire(const TreeId& tree, const std::string& parent, const std::string& name,
              std::int64_t seq) override;
  void retire_below(const TreeId& tree, const std::string& dir, std::int64_t seq) override;
  void add_reference(std::int64_t user_id, const NewContent& content) override;
  void drop_reference(std::int64_t user_id, const std::string& sha256);
  std::int64_t next_seq();
  // Adds to the account's usage row, in the current transaction.
  void add_usage(std::int64_t user_id, std::int64_t bytes, std::int64_t entries);
  Usage usage_locked(std::int64_t user_id);
  // Refuses a change that took the account's usage over its quota.
  void check_quota(const Change& change, const Usage& before);
  bool content_known_locked(std::int64_t user_id, const std::string& sha256);

  std::mutex mu_;
  // One sync() at a time: a second one waits for the sync of the first,
  // which may hold its changes already.
  std::mutex sync_mu_;
  SqliteDb db_;
  std::string log_path_;  // SQLite's log beside the catalog
  UniqueFd log_file_;
  int quiet_syncs_ = 0;      // syncs in a row that found no change
  bool log_copied_ = true;   // no commit since the last quiet checkpoint
  std::int64_t seq_ = 0;
  // The number of the last change that the catalog's file holds committed.
  std::int64_t committed_seq_ = 0;
  bool dirty_ = false;
  std::size_t held_ = 0;  // changes applied since the last commit
  // The changes applied since the last commit (null when read-only).
  std::unique_ptr<ChangeLog> log_;
  BatchRunner<Pending> batches_;
};

#endif  // BREVANTO_SERVICE_STORE_SQLITE_FILE_CATALOG_H_
