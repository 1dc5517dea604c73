#include "service/store/pg_file_catalog.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <set>
#include <thread>
#include <utility>

#include "service/store/catalog_paths.h"
#include "service/store/chunk_list.h"
#include "service/store/pg_schema.h"

namespace {

#define ENTRY_COLUMNS \
  "parent, name, is_dir, content, size, backup_type, reversion, create_time, modify_time"
#define TREE "user_id = $1 AND project = $2"
// The rows current at point $5, from both tables.
#define AT_POINT(where)                                                                  \
  "SELECT " ENTRY_COLUMNS " FROM nodes WHERE " TREE " AND " where " AND from_seq <= $5"  \
  " UNION ALL SELECT " ENTRY_COLUMNS " FROM history WHERE " TREE " AND " where           \
  " AND from_seq <= $5 AND to_seq > $5"

const char kFindCurrent[] =
    "SELECT " ENTRY_COLUMNS " FROM nodes WHERE " TREE " AND parent = $3 AND name = $4";
const char kFindAtPoint[] = AT_POINT("parent = $3 AND name = $4");
const char kList[] = "SELECT " ENTRY_COLUMNS " FROM nodes WHERE " TREE
                     " AND parent = $3 AND name > $4 ORDER BY name LIMIT $5";
const char kListAtPoint[] =
    "SELECT * FROM (" AT_POINT("parent = $3 AND name > $4") ") t ORDER BY name LIMIT $6";

// Moving current rows to the history, ended at $5: one entry (parent $3,
// name $4), or every entry below a folder (parents in [$3, $4)).
#define RETIRE(where)                                                                    \
  "WITH gone AS (DELETE FROM nodes WHERE " TREE " AND " where " RETURNING *)"            \
  " INSERT INTO history(user_id, project, " ENTRY_COLUMNS ", from_seq, to_seq)"          \
  " SELECT user_id, project, " ENTRY_COLUMNS ", from_seq, $5 FROM gone"
const char kRetire[] = RETIRE("parent = $3 AND name = $4");
const char kRetireBelow[] = RETIRE("parent >= $3 AND parent < $4");

// Tries of a transaction that serialization failures undo.
constexpr int kAttempts = 60;

Entry read_entry(const PgResult& r, int row) {
  Entry e;
  e.parent = r.text(row, 0);
  e.name = r.text(row, 1);
  e.is_dir = r.boolean(row, 2);
  e.content = r.text(row, 3);
  e.size = r.int64(row, 4);
  e.backup_type = static_cast<int>(r.int64(row, 5));
  e.reversion = r.int64(row, 6);
  e.create_time = r.int64(row, 7);
  e.modify_time = r.int64(row, 8);
  return e;
}

std::uint64_t fnv1a(const std::string& text, std::uint64_t hash = 14695981039346656037ull) {
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

// A content's advisory lock (one bigint; trees use the two-int form, a
// space of its own). Two contents sharing a key only wait for each other.
std::int64_t content_key(std::int64_t user_id, const std::string& sha256) {
  return static_cast<std::int64_t>(fnv1a(std::to_string(user_id) + ":" + sha256));
}

std::string this_holder() {
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  std::random_device random;
  return std::string(host) + ":" + std::to_string(::getpid()) + ":" + std::to_string(random());
}

// Waits a random while, longer after each failed try, so that services
// that collided do not collide again.
void back_off(int attempt) {
  thread_local std::minstd_rand random(std::random_device{}());
  const int most = std::min(1 + attempt * 4, 100);
  std::this_thread::sleep_for(std::chrono::milliseconds(random() % most + 1));
}

void rollback(PgConnection& db) {
  if (db.broken()) return;  // nothing of it is left
  try {
    db.exec("ROLLBACK");
  } catch (...) {
  }
}

}  // namespace

class PgFileCatalog::TreeLocks {
 public:
  // `db` is the catalog's connection, which may be made again meanwhile.
  TreeLocks(std::unique_ptr<PgConnection>& db, std::vector<TreeId> trees) : db_(db) {
    for (const TreeId& tree : trees) {
      keys_.emplace(static_cast<std::int32_t>(tree.user_id),
                    static_cast<std::int32_t>(fnv1a(tree.project)));
    }
    try {
      for (const auto& [a, b] : keys_) {
        db_->run("SELECT pg_advisory_lock($1::int, $2::int)", {a, b});
        ++held_;
      }
    } catch (...) {
      unlock();
      throw;
    }
  }
  ~TreeLocks() { unlock(); }

 private:
  void unlock() {
    for (const auto& [a, b] : keys_) {
      if (held_-- <= 0 || db_->broken()) break;  // a lost session holds no lock
      try {
        db_->run("SELECT pg_advisory_unlock($1::int, $2::int)", {a, b});
      } catch (...) {
      }
    }
    held_ = 0;
  }
  std::unique_ptr<PgConnection>& db_;
  std::set<std::pair<std::int32_t, std::int32_t>> keys_;  // one order everywhere
  int held_ = 0;
};

PgFileCatalog::PgFileCatalog(const std::string& conninfo)
    : conninfo_(conninfo),
      db_(std::make_unique<PgConnection>(conninfo)),
      holder_(this_holder()),
      batches_([this](const std::vector<Pending*>& batch) { apply_batch(batch); }) {
  migrate_pg_schema(db());
}

PgConnection& PgFileCatalog::db() {
  if (db_->broken()) {
    if (claims_held_ > 0) {
      throw ServiceError(kInternal, "the connection to the catalog database was lost while " +
                                        std::to_string(claims_held_) + " upload(s) held claims");
    }
    db_ = std::make_unique<PgConnection>(conninfo_);
  }
  return *db_;
}

void PgFileCatalog::in_transaction(const std::function<void()>& body) {
  for (int attempt = 1;; ++attempt) {
    try {
      db().exec("BEGIN ISOLATION LEVEL SERIALIZABLE");
      body();
      db().exec("COMMIT");
      return;
    } catch (const PgError& e) {
      rollback(*db_);
      if (!e.retryable() || attempt >= kAttempts) throw;
    } catch (...) {
      rollback(*db_);
      throw;
    }
    back_off(attempt);
  }
}

std::int64_t PgFileCatalog::next_seq() {
  return db().run("SELECT nextval('change_seq')").int64(0, 0);
}

void PgFileCatalog::open_tree(const TreeId& tree, std::int64_t now) {
  std::lock_guard<std::mutex> lock(mu_);
  if (find_locked(tree, "", "", View{})) return;
  TreeLocks locks(db_, {tree});
  in_transaction([&] {
    if (find_locked(tree, "", "", View{})) return;
    Entry top;
    top.is_dir = true;
    top.create_time = top.modify_time = now;
    insert_entry(tree, top, next_seq());
  });
}

std::optional<Entry> PgFileCatalog::top(const TreeId& tree) {
  std::lock_guard<std::mutex> lock(mu_);
  return find_locked(tree, "", "", View{});
}

std::optional<Entry> PgFileCatalog::find(const TreeId& tree, const std::string& parent,
                                         const std::string& name, const View& view) {
  std::lock_guard<std::mutex> lock(mu_);
  return find_locked(tree, parent, name, view);
}

std::optional<Entry> PgFileCatalog::find_locked(const TreeId& tree, const std::string& parent,
                                                const std::string& name, const View& view) {
  const PgResult r =
      view.current()
          ? db().run(kFindCurrent, {tree.user_id, tree.project, parent, name})
          : db().run(kFindAtPoint, {tree.user_id, tree.project, parent, name, view.seq});
  if (r.rows() == 0) return std::nullopt;
  return read_entry(r, 0);
}

std::vector<Entry> PgFileCatalog::list(const TreeId& tree, const std::string& dir,
                                       const View& view, const std::string& after,
                                       std::size_t limit) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto count = static_cast<std::int64_t>(limit);
  const PgResult r =
      view.current()
          ? db().run(kList, {tree.user_id, tree.project, dir, after, count})
          : db().run(kListAtPoint, {tree.user_id, tree.project, dir, after, view.seq, count});
  std::vector<Entry> out;
  for (int i = 0; i < r.rows(); ++i) out.push_back(read_entry(r, i));
  return out;
}

void PgFileCatalog::insert_entry(const TreeId& tree, const Entry& e, std::int64_t seq) {
  wrote_ = true;
  db().run("INSERT INTO nodes(user_id, project, " ENTRY_COLUMNS ", from_seq)"
           " VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12)",
           {tree.user_id, tree.project, e.parent, e.name, e.is_dir ? "t" : "f", e.content, e.size,
            e.backup_type, e.reversion, e.create_time, e.modify_time, seq});
  add_usage(tree.user_id, 0, 1);
}

void PgFileCatalog::add_usage(std::int64_t user_id, std::int64_t bytes, std::int64_t entries) {
  wrote_ = true;
  db().run("INSERT INTO usage(user_id, bytes, entries) VALUES($1, $2, $3)"
           " ON CONFLICT(user_id) DO UPDATE SET bytes = usage.bytes + excluded.bytes,"
           " entries = usage.entries + excluded.entries",
           {user_id, bytes, entries});
}

Usage PgFileCatalog::usage(std::int64_t user_id) {
  std::lock_guard<std::mutex> lock(mu_);
  return usage_locked(user_id);
}

Usage PgFileCatalog::usage_locked(std::int64_t user_id) {
  const PgResult r = db().run("SELECT bytes, entries FROM usage WHERE user_id = $1", {user_id});
  if (r.rows() == 0) return Usage{};
  return Usage{r.int64(0, 0), r.int64(0, 1)};
}

std::vector<std::pair<std::int64_t, Usage>> PgFileCatalog::all_usage() {
  std::lock_guard<std::mutex> lock(mu_);
  const PgResult r = db().run("SELECT user_id, bytes, entries FROM usage ORDER BY user_id");
  std::vector<std::pair<std::int64_t, Usage>> out;
  for (int i = 0; i < r.rows(); ++i) {
    out.emplace_back(r.int64(i, 0), Usage{r.int64(i, 1), r.int64(i, 2)});
  }
  return out;
}

void PgFileCatalog::check_quota(const Change& change, const Usage& before) {
  const Quota& quota = change.quota;
  const Usage after = usage_locked(change.tree.user_id);
  const bool bytes_over = quota.bytes > 0 && after.bytes > before.bytes && after.bytes > quota.bytes;
  const bool entries_over =
      quota.entries > 0 && after.entries > before.entries && after.entries > quota.entries;
  if (!bytes_over && !entries_over) return;
  throw QuotaReached("the quota of account " + quota.account + " is reached: " +
                     (bytes_over ? std::to_string(before.bytes) + " of " +
                                       std::to_string(quota.bytes) + " bytes held, " +
                                       std::to_string(after.bytes - before.bytes) + " more asked"
                                 : std::to_string(before.entries) + " of " +
                                       std::to_string(quota.entries) + " files held"));
}

void PgFileCatalog::retire(const TreeId& tree, const std::string& parent,
                           const std::string& name, std::int64_t seq) {
  wrote_ = true;
  db().run(kRetire, {tree.user_id, tree.project, parent, name, seq});
}

std::int64_t PgFileCatalog::last_reversion(const TreeId& tree, const std::string& parent,
                                           const std::string& name) {
  const PgResult r = db().run("SELECT COALESCE(MAX(reversion), 0) FROM history WHERE " TREE
                              " AND parent = $3 AND name = $4",
                              {tree.user_id, tree.project, parent, name});
  return r.int64(0, 0);
}

void PgFileCatalog::retire_below(const TreeId& tree, const std::string& dir, std::int64_t seq) {
  wrote_ = true;
  db().run(kRetireBelow, {tree.user_id, tree.project, dir, below_upper(dir), seq});
}

void PgFileCatalog::add_reference(std::int64_t user_id, const NewContent& content) {
  wrote_ = true;
  const PgResult updated = db().run(
      "UPDATE contents SET refs = refs + 1 WHERE user_id = $1 AND sha256 = $2",
      {user_id, content.sha256});
  if (updated.affected() > 0) return;
  const bool whole_outside = content.external && !content.chunked();
  db().run("INSERT INTO contents(user_id, sha256, size, refs, external, data)"
           " VALUES($1, $2, $3, 1, $4, $5)",
           {user_id, content.sha256, content.size, content.external ? "t" : "f",
            whole_outside ? PgParam::null() : PgParam::bytes(content.bytes)});
  if (content.chunked()) {
    // The chunks count the bytes; the content refers to each once.
    for (const ChunkRef& chunk : referenced_chunks(content.sha256, content.bytes)) {
      add_reference(user_id, NewContent{chunk.sha256, chunk.size, true, std::string()});
    }
    return;
  }
  add_usage(user_id, content.size, 0);
  if (content.external) {
    db().run("DELETE FROM doomed WHERE user_id = $1 AND sha256 = $2", {user_id, content.sha256});
  }
}

void PgFileCatalog::drop_reference(std::int64_t user_id, const std::string& sha256) {
  wrote_ = true;
  const PgResult r = db().run(
      "UPDATE contents SET refs = refs - 1 WHERE user_id = $1 AND sha256 = $2"
      " RETURNING refs, external, size, data",
      {user_id, sha256});
  if (r.rows() == 0 || r.int64(0, 0) > 0) return;
  const bool external = r.boolean(0, 1);
  std::vector<ChunkRef> chunks;
  const bool chunked = external && !r.is_null(0, 3) && parse_chunk_list(r.bytes(0, 3), &chunks);
  db().run("DELETE FROM contents WHERE user_id = $1 AND sha256 = $2", {user_id, sha256});
  if (chunked) {
    for (const ChunkRef& chunk : distinct_chunks(chunks)) drop_reference(user_id, chunk.sha256);
    return;
  }
  add_usage(user_id, -r.int64(0, 2), 0);
  if (external) {
    db().run("INSERT INTO doomed(user_id, sha256) VALUES($1, $2) ON CONFLICT DO NOTHING",
             {user_id, sha256});
  }
}

void PgFileCatalog::apply(const Change& change, std::int64_t now) {
  Pending pending{&change, now, nullptr};
  batches_.submit(pending);
  if (pending.failure) std::rethrow_exception(pending.failure);
}

void PgFileCatalog::apply_batch(const std::vector<Pending*>& batch) {
  std::lock_guard<std::mutex> lock(mu_);
  try {
    std::vector<TreeId> trees;
    for (const Pending* pending : batch) trees.push_back(pending->change->tree);
    db();  // made again if it was lost
    TreeLocks locks(db_, trees);
    bool savepoints = false;
    for (int attempt = 1;; ++attempt) {
      try {
        if (try_batch(batch, savepoints)) return;
        savepoints = true;
        continue;
      } catch (const PgError& e) {
        if (!e.retryable() || attempt >= kAttempts) throw;
      }
      back_off(attempt);
    }
  } catch (...) {
    for (Pending* pending : batch) {
      if (!pending->failure) pending->failure = std::current_exception();
    }
  }
}

bool PgFileCatalog::try_batch(const std::vector<Pending*>& batch, bool savepoints) {
  // As in the SQLite catalog: a change refused before it writes needs no
  // undoing; one that fails after writing (a quota passed, an error of the
  // database) takes the batch back, to be made again with each change in
  // a savepoint of its own. A serialization failure takes the whole
  // transaction back, to be tried again.
  for (Pending* pending : batch) pending->failure = nullptr;
  db().exec("BEGIN ISOLATION LEVEL SERIALIZABLE");
  try {
    for (Pending* pending : batch) {
      if (savepoints) db().exec("SAVEPOINT change");
      wrote_ = false;
      try {
        const Change& change = *pending->change;
        const std::int64_t seq = next_seq();
        const bool counted = change.kind != Change::kRemove &&
                             (change.quota.bytes > 0 || change.quota.entries > 0);
        const Usage before = counted ? usage_locked(change.tree.user_id) : Usage{};
        apply_change(change, seq, pending->now);
        if (counted) check_quota(change, before);
        if (savepoints) db().exec("RELEASE change");
      } catch (const PgError& e) {
        if (e.retryable()) throw;
        if (!savepoints) {
          rollback(*db_);
          return false;
        }
        pending->failure = std::current_exception();
        db().exec("ROLLBACK TO change");
        db().exec("RELEASE change");
      } catch (...) {
        if (!savepoints && wrote_) {
          rollback(*db_);
          return false;
        }
        pending->failure = std::current_exception();
        if (savepoints) {
          db().exec("ROLLBACK TO change");
          db().exec("RELEASE change");
        }
      }
    }
    db().exec("COMMIT");
  } catch (...) {
    rollback(*db_);
    throw;
  }
  return true;
}

bool PgFileCatalog::has_content(std::int64_t user_id, const std::string& sha256) {
  std::lock_guard<std::mutex> lock(mu_);
  return db().run("SELECT 1 FROM contents WHERE user_id = $1 AND sha256 = $2", {user_id, sha256})
             .rows() > 0;
}

std::optional<std::string> PgFileCatalog::read_content(std::int64_t user_id,
                                                       const std::string& sha256,
                                                       bool* external) {
  std::lock_guard<std::mutex> lock(mu_);
  const PgResult r = db().run(
      "SELECT external, data FROM contents WHERE user_id = $1 AND sha256 = $2", {user_id, sha256});
  *external = false;
  if (r.rows() == 0) return std::nullopt;
  *external = r.boolean(0, 0);
  if (*external && r.is_null(0, 1)) return std::nullopt;
  return r.bytes(0, 1);
}

void PgFileCatalog::make_point(const TreeId& tree, const std::string& name, std::int64_t made) {
  std::lock_guard<std::mutex> lock(mu_);
  // Under the tree's lock no change of the tree is under way: a new
  // number is above every change committed, and below every change to
  // come.
  db();  // made again if it was lost
  TreeLocks locks(db_, {tree});
  in_transaction([&] {
    db().run("INSERT INTO points(user_id, project, name, seq, made)"
             " VALUES($1, $2, $3, nextval('change_seq'), $4) ON CONFLICT(user_id, project, name)"
             " DO UPDATE SET seq = excluded.seq, made = excluded.made",
             {tree.user_id, tree.project, name, made});
  });
}

std::vector<Point> PgFileCatalog::points(const TreeId& tree) {
  std::lock_guard<std::mutex> lock(mu_);
  const PgResult r = db().run(
      "SELECT name, seq, made FROM points WHERE " TREE " ORDER BY name", {tree.user_id, tree.project});
  std::vector<Point> out;
  for (int i = 0; i < r.rows(); ++i) out.push_back(Point{r.text(i, 0), r.int64(i, 1), r.int64(i, 2)});
  return out;
}

std::optional<Point> PgFileCatalog::find_point(const TreeId& tree, const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  const PgResult r = db().run("SELECT seq, made FROM points WHERE " TREE " AND name = $3",
                              {tree.user_id, tree.project, name});
  if (r.rows() == 0) return std::nullopt;
  return Point{name, r.int64(0, 0), r.int64(0, 1)};
}

std::vector<TreeId> PgFileCatalog::trees_with_points() {
  std::lock_guard<std::mutex> lock(mu_);
  const PgResult r = db().run("SELECT DISTINCT user_id, project FROM points");
  std::vector<TreeId> out;
  for (int i = 0; i < r.rows(); ++i) out.push_back(TreeId{r.int64(i, 0), r.text(i, 1)});
  return out;
}

std::size_t PgFileCatalog::forget(const TreeId& tree, const std::vector<std::string>& keep,
                                  std::size_t limit) {
  std::lock_guard<std::mutex> lock(mu_);
  db();  // made again if it was lost
  TreeLocks locks(db_, {tree});
  std::size_t dropped = 0;
  in_transaction([&] {
    dropped = 0;
    const PgResult names =
        db().run("SELECT name FROM points WHERE " TREE, {tree.user_id, tree.project});
    for (int i = 0; i < names.rows(); ++i) {
      const std::string name = names.text(i, 0);
      if (std::find(keep.begin(), keep.end(), name) != keep.end()) continue;
      db().run("DELETE FROM points WHERE " TREE " AND name = $3", {tree.user_id, tree.project, name});
    }
    // A past row that no kept point falls in is seen by nobody.
    const PgResult rows = db().run(
        "SELECT id, is_dir, content FROM history h WHERE " TREE
        " AND NOT EXISTS (SELECT 1 FROM points p WHERE p.user_id = h.user_id"
        " AND p.project = h.project AND p.seq >= h.from_seq AND p.seq < h.to_seq) LIMIT $3",
        {tree.user_id, tree.project, static_cast<std::int64_t>(limit)});
    for (int i = 0; i < rows.rows(); ++i) {
      db().run("DELETE FROM history WHERE id = $1", {rows.int64(i, 0)});
      add_usage(tree.user_id, 0, -1);
      if (!rows.boolean(i, 1)) drop_reference(tree.user_id, rows.text(i, 2));
    }
    dropped = static_cast<std::size_t>(rows.rows());
  });
  return dropped;
}

std::vector<FileCatalog::Doomed> PgFileCatalog::doomed(std::size_t limit) {
  std::lock_guard<std::mutex> lock(mu_);
  const PgResult r = db().run("SELECT user_id, sha256 FROM doomed LIMIT $1",
                              {static_cast<std::int64_t>(limit)});
  std::vector<Doomed> out;
  for (int i = 0; i < r.rows(); ++i) out.push_back(Doomed{r.int64(i, 0), r.text(i, 1)});
  return out;
}

bool PgFileCatalog::is_doomed(const Doomed& content) {
  std::lock_guard<std::mutex> lock(mu_);
  return db().run("SELECT 1 FROM doomed WHERE user_id = $1 AND sha256 = $2",
                  {content.user_id, content.sha256})
             .rows() > 0;
}

void PgFileCatalog::settle_doomed(const Doomed& content) {
  std::lock_guard<std::mutex> lock(mu_);
  db().run("DELETE FROM doomed WHERE user_id = $1 AND sha256 = $2",
           {content.user_id, content.sha256});
}

void PgFileCatalog::claim(std::int64_t user_id, const std::string& sha256) {
  std::lock_guard<std::mutex> lock(mu_);
  db().run("SELECT pg_advisory_lock_shared($1::bigint)", {content_key(user_id, sha256)});
  ++claims_held_;
}

void PgFileCatalog::release(std::int64_t user_id, const std::string& sha256) {
  std::lock_guard<std::mutex> lock(mu_);
  --claims_held_;
  // A lost connection took the claim with it.
  if (!db_->broken()) {
    db_->run("SELECT pg_advisory_unlock_shared($1::bigint)", {content_key(user_id, sha256)});
  }
}

bool PgFileCatalog::delete_unneeded(const Doomed& content, const std::function<bool()>& remove) {
  std::lock_guard<std::mutex> lock(mu_);
  // The exclusive lock, held until the commit: an upload of another
  // service that claims the content now waits until it is deleted and
  // settled, then finds it gone and stores it anew. The lock is taken
  // without waiting: a claim held means the content is needed.
  db().exec("BEGIN");
  try {
    const bool locked = db().run("SELECT pg_try_advisory_xact_lock($1::bigint)",
                                 {content_key(content.user_id, content.sha256)})
                            .boolean(0, 0);
    const bool needed =
        !locked || db().run("SELECT 1 FROM contents WHERE user_id = $1 AND sha256 = $2",
                            {content.user_id, content.sha256})
                           .rows() > 0;
    if (needed || !remove()) {
      rollback(*db_);
      return false;
    }
    db().run("DELETE FROM doomed WHERE user_id = $1 AND sha256 = $2",
             {content.user_id, content.sha256});
    db().exec("COMMIT");
    return true;
  } catch (...) {
    rollback(*db_);
    throw;
  }
}

bool PgFileCatalog::hold_collection() {
  std::lock_guard<std::mutex> lock(mu_);
  // Taken when free or expired, renewed when ours; the database's clock
  // dates the lease, so the hosts' clocks need not agree.
  return db().run("INSERT INTO leases(name, holder, expires)"
                  " VALUES('collection', $1, now() + make_interval(secs => $2))"
                  " ON CONFLICT(name) DO UPDATE SET holder = excluded.holder,"
                  " expires = excluded.expires"
                  " WHERE leases.holder = excluded.holder OR leases.expires < now()"
                  " RETURNING holder",
                  {holder_, lease_seconds_})
             .rows() == 1;
}

void PgFileCatalog::end_collection() {
  std::lock_guard<std::mutex> lock(mu_);
  db().run("DELETE FROM leases WHERE name = 'collection' AND holder = $1", {holder_});
}

void PgFileCatalog::for_each_content(const std::function<void(const StoredContent&)>& visit) {
  // Page by key, so that the lock is not held while `visit` runs.
  std::int64_t after_user = -1;
  std::string after_sha;
  for (;;) {
    std::vector<StoredContent> page;
    {
      std::lock_guard<std::mutex> lock(mu_);
      const PgResult r = db().run(
          "SELECT user_id, sha256, size, external, data FROM contents"
          " WHERE (user_id, sha256) > ($1, $2) ORDER BY user_id, sha256 LIMIT 256",
          {after_user, after_sha});
      for (int i = 0; i < r.rows(); ++i) {
        page.push_back(StoredContent{r.int64(i, 0), r.text(i, 1), r.int64(i, 2), r.boolean(i, 3),
                                     r.bytes(i, 4)});
      }
    }
    for (const StoredContent& c : page) visit(c);
    if (page.size() < 256) return;
    after_user = page.back().user_id;
    after_sha = page.back().sha256;
  }
}
