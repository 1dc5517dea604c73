#include "service/store/sqlite_file_catalog.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <utility>

#include "service/errors.h"
#include "service/log.h"
#include "service/store/catalog_paths.h"
#include "service/store/chunk_list.h"

namespace {

// The open transaction is committed (not synced) once it holds this many
// changes or the change log this many bytes, whatever comes first; sync()
// commits it durably about once a second.
constexpr std::size_t kMostHeldChanges = 8192;
constexpr std::uint64_t kMostLogBytes = 32u << 20;

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID;"
    "INSERT OR IGNORE INTO meta VALUES('seq', 0), ('migrated', 0), ('usage', 0), ('syncs', 0);"
    "CREATE TABLE IF NOT EXISTS nodes("
    "  user_id INTEGER NOT NULL, project TEXT NOT NULL, parent TEXT NOT NULL, name TEXT NOT NULL,"
    "  is_dir INTEGER NOT NULL, content TEXT NOT NULL, size INTEGER NOT NULL,"
    "  backup_type INTEGER NOT NULL, reversion INTEGER NOT NULL,"
    "  create_time INTEGER NOT NULL, modify_time INTEGER NOT NULL, from_seq INTEGER NOT NULL,"
    "  PRIMARY KEY(user_id, project, parent, name)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS history("
    "  user_id INTEGER NOT NULL, project TEXT NOT NULL, parent TEXT NOT NULL, name TEXT NOT NULL,"
    "  is_dir INTEGER NOT NULL, content TEXT NOT NULL, size INTEGER NOT NULL,"
    "  backup_type INTEGER NOT NULL, reversion INTEGER NOT NULL,"
    "  create_time INTEGER NOT NULL, modify_time INTEGER NOT NULL, from_seq INTEGER NOT NULL,"
    "  to_seq INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS history_path ON history(user_id, project, parent, name, from_seq);"
    "CREATE TABLE IF NOT EXISTS contents("
    "  user_id INTEGER NOT NULL, sha256 TEXT NOT NULL, size INTEGER NOT NULL,"
    "  refs INTEGER NOT NULL, external INTEGER NOT NULL, data BLOB);"
    "CREATE UNIQUE INDEX IF NOT EXISTS contents_key ON contents(user_id, sha256);"
    "CREATE TABLE IF NOT EXISTS doomed(user_id INTEGER NOT NULL, sha256 TEXT NOT NULL,"
    "  PRIMARY KEY(user_id, sha256)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS points("
    "  user_id INTEGER NOT NULL, project TEXT NOT NULL, name TEXT NOT NULL,"
    "  seq INTEGER NOT NULL, made INTEGER NOT NULL,"
    "  PRIMARY KEY(user_id, project, name)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS points_seq ON points(user_id, project, seq);"
    // What each account holds, kept up to date by every change (quotas).
    "CREATE TABLE IF NOT EXISTS usage(user_id INTEGER PRIMARY KEY, bytes INTEGER NOT NULL,"
    "  entries INTEGER NOT NULL);";

// Counts the usage of every account anew (a catalog made before it was
// counted).
const char kCountUsage[] =
    "DELETE FROM usage;"
    "INSERT INTO usage(user_id, bytes, entries) SELECT user_id, SUM(bytes), SUM(entries) FROM ("
    "  SELECT user_id, size AS bytes, 0 AS entries FROM contents"
    "  UNION ALL SELECT user_id, 0, 1 FROM nodes"
    "  UNION ALL SELECT user_id, 0, 1 FROM history) GROUP BY user_id;"
    "UPDATE meta SET value = 1 WHERE key = 'usage';";

#define ENTRY_COLUMNS \
  "parent, name, is_dir, content, size, backup_type, reversion, create_time, modify_time"
#define TREE "user_id = ?1 AND project = ?2"
#define BELOW "parent >= ?3 AND parent < ?4"
// The rows current at point ?8, from both tables.
#define AT_POINT(where)                                                                   \
  "SELECT " ENTRY_COLUMNS " FROM nodes WHERE " TREE " AND " where " AND from_seq <= ?8"   \
  " UNION ALL SELECT " ENTRY_COLUMNS " FROM history WHERE " TREE " AND " where            \
  " AND from_seq <= ?8 AND to_seq > ?8"

const char kFindCurrent[] = "SELECT " ENTRY_COLUMNS " FROM nodes WHERE " TREE
                            " AND parent = ?3 AND name = ?4";
const char kFindAtPoint[] = AT_POINT("parent = ?3 AND name = ?4");
const char kList[] = "SELECT " ENTRY_COLUMNS " FROM nodes WHERE " TREE
                     " AND parent = ?3 AND name > ?4 ORDER BY name LIMIT ?5";
const char kListAtPoint[] = "SELECT * FROM (" AT_POINT("parent = ?3 AND name > ?4")
                            ") ORDER BY name LIMIT ?5";

// Moving current rows to the history, ended at ?5: one entry (parent ?3,
// name ?4), or every entry below a folder (parents in [?3, ?4)).
#define RETIRE_COPY(where)                                                                 \
  "INSERT INTO history(user_id, project, " ENTRY_COLUMNS ", from_seq, to_seq)"             \
  " SELECT user_id, project, " ENTRY_COLUMNS ", from_seq, ?5 FROM nodes WHERE " TREE " AND " \
  where
const char kRetireCopy[] = RETIRE_COPY("parent = ?3 AND name = ?4");
const char kRetireDrop[] = "DELETE FROM nodes WHERE " TREE " AND parent = ?3 AND name = ?4";
const char kRetireBelowCopy[] = RETIRE_COPY(BELOW);
const char kRetireBelowDrop[] = "DELETE FROM nodes WHERE " TREE " AND " BELOW;

Entry read_entry(SqliteDb::Statement& st) {
  Entry e;
  e.parent = st.text(0);
  e.name = st.text(1);
  e.is_dir = st.int64(2) != 0;
  e.content = st.text(3);
  e.size = st.int64(4);
  e.backup_type = static_cast<int>(st.int64(5));
  e.reversion = st.int64(6);
  e.create_time = st.int64(7);
  e.modify_time = st.int64(8);
  return e;
}

}  // namespace

SqliteFileCatalog::SqliteFileCatalog(const std::string& file, bool read_only)
    : db_(file, read_only), log_path_(file + "-wal"), batches_([this](const std::vector<Pending*>& batch) { apply_batch(batch); }) {
  // Only this service opens the file: no file locks per statement. Commits
  // are written to the log without a sync; sync() makes them durable.
  // Nothing else changes its rows, so the folders known are kept.
  db_.exec("PRAGMA locking_mode=EXCLUSIVE");
  if (!read_only) {
    remember_folders(true);
    db_.exec("PRAGMA journal_mode=WAL");
    db_.exec("PRAGMA synchronous=NORMAL");
    // The savepoint of each batch journals the pages it changes again:
    // in memory, not in a temp file.
    db_.exec("PRAGMA temp_store=MEMORY");
    // The open transaction holds a second or so of changes: their pages
    // stay in memory until it commits, each written to the log once, instead
    // of spilling to the log (and again later) as SQLite's default 2 MB
    // fill up.
    db_.exec("PRAGMA cache_size=-32768");
    // A checkpoint copies the log into the catalog and syncs both, with
    // every change waiting: at SQLite's default of 1,000 pages that came
    // every few hundred small uploads. At 16,384 pages (64 MB) it comes a
    // few times a minute of uploading, each sync paid for many more pages.
    db_.exec("PRAGMA wal_autocheckpoint=16384");
    db_.exec(kSchema);
  }
  if (!read_only) {
    SqliteDb::Statement st(db_, "SELECT value FROM meta WHERE key = 'usage'");
    if (!st.step() || st.int64(0) == 0) {
      SqliteDb::Transaction transaction(db_);
      db_.exec(kCountUsage);
      transaction.commit();
    }
  }
  // The sequence goes on from the highest number any row holds (it is not
  // written with each change, which would cost a page per commit).
  SqliteDb::Statement st(db_,
                         "SELECT MAX((SELECT IFNULL(MAX(value), 0) FROM meta WHERE key = 'seq'),"
                         " (SELECT IFNULL(MAX(from_seq), 0) FROM nodes),"
                         " (SELECT IFNULL(MAX(to_seq), 0) FROM history),"
                         " (SELECT IFNULL(MAX(seq), 0) FROM points))");
  if (st.step()) seq_ = st.int64(0);
  // Every logged change was applied after the last commit of the log's
  // changes: those numbered up to what the catalog holds are in it.
  committed_seq_ = seq_;
  if (read_only) {
    try {
      std::size_t pending = 0;
      for (const LoggedChange& logged : ChangeLog(file + "-changes", true).read_all()) {
        if (logged.seq > committed_seq_) ++pending;
      }
      if (pending > 0) {
        log_warn("%zu change(s) of the catalog's change log are not shown read-only: serve the "
                 "root once without --read-only to apply them", pending);
      }
    } catch (const std::exception& e) {
      log_warn("%s: changes a crash may have left there are not shown", e.what());
    }
    return;
  }
  log_ = std::make_unique<ChangeLog>(file + "-changes", false);
  held_ = replay_log();
  if (held_ > 0) {
    log_warn("applied %zu change(s) again from the catalog's change log", held_);
    commit_held(true);
  }
  if (log_->size() > 0) log_->clear();
}

SqliteFileCatalog::~SqliteFileCatalog() {
  try {
    std::lock_guard<std::mutex> lock(mu_);
    commit_held(false);
  } catch (const std::exception& e) {
    log_error("catalog: the last changes stay in the change log: %s", e.what());
  }
}

void SqliteFileCatalog::open_tree(const TreeId& tree, std::int64_t now) {
  std::lock_guard<std::mutex> lock(mu_);
  if (find_locked(tree, "", "", View{})) return;
  commit_held(false);
  SqliteDb::Transaction transaction(db_);
  Entry top;
  top.is_dir = true;
  top.create_time = top.modify_time = now;
  insert_entry(tree, top, next_seq());
  transaction.commit();
}

std::optional<Entry> SqliteFileCatalog::top(const TreeId& tree) {
  std::lock_guard<std::mutex> lock(mu_);
  return find_locked(tree, "", "", View{});
}

std::optional<Entry> SqliteFileCatalog::find(const TreeId& tree, const std::string& parent,
                                             const std::string& name, const View& view) {
  std::lock_guard<std::mutex> lock(mu_);
  return find_locked(tree, parent, name, view);
}

std::optional<Entry> SqliteFileCatalog::find_locked(const TreeId& tree, const std::string& parent,
                                                    const std::string& name, const View& view) {
  SqliteDb::Statement st(db_, view.current() ? kFindCurrent : kFindAtPoint);
  st.bind(1, tree.user_id).bind(2, tree.project).bind(3, parent).bind(4, name);
  if (!view.current()) st.bind(8, view.seq);
  if (!st.step()) return std::nullopt;
  return read_entry(st);
}

std::vector<Entry> SqliteFileCatalog::list(const TreeId& tree, const std::string& dir,
                                           const View& view, const std::string& after,
                                           std::size_t limit) {
  std::lock_guard<std::mutex> lock(mu_);
  SqliteDb::Statement st(db_, view.current() ? kList : kListAtPoint);
  st.bind(1, tree.user_id).bind(2, tree.project).bind(3, dir).bind(4, after);
  st.bind(5, static_cast<std::int64_t>(limit));
  if (!view.current()) st.bind(8, view.seq);
  std::vector<Entry> out;
  while (st.step()) out.push_back(read_entry(st));
  return out;
}

std::int64_t SqliteFileCatalog::next_seq() { return ++seq_; }

void SqliteFileCatalog::insert_entry(const TreeId& tree, const Entry& e, std::int64_t seq) {
  SqliteDb::Statement(db_,
                      "INSERT INTO nodes(user_id, project, " ENTRY_COLUMNS ", from_seq)"
                      " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)")
      .bind(1, tree.user_id)
      .bind(2, tree.project)
      .bind(3, e.parent)
      .bind(4, e.name)
      .bind(5, e.is_dir ? 1 : 0)
      .bind(6, e.content)
      .bind(7, e.size)
      .bind(8, e.backup_type)
      .bind(9, e.reversion)
      .bind(10, e.create_time)
      .bind(11, e.modify_time)
      .bind(12, seq)
      .run();
  add_usage(tree.user_id, 0, 1);
}

void SqliteFileCatalog::add_usage(std::int64_t user_id, std::int64_t bytes,
                                  std::int64_t entries) {
  SqliteDb::Statement(db_,
                      "INSERT INTO usage(user_id, bytes, entries) VALUES(?1, ?2, ?3)"
                      " ON CONFLICT(user_id) DO UPDATE SET bytes = bytes + excluded.bytes,"
                      " entries = entries + excluded.entries")
      .bind(1, user_id)
      .bind(2, bytes)
      .bind(3, entries)
      .run();
}

Usage SqliteFileCatalog::usage_locked(std::int64_t user_id) {
  SqliteDb::Statement st(db_, "SELECT bytes, entries FROM usage WHERE user_id = ?1");
  st.bind(1, user_id);
  if (!st.step()) return Usage{};
  return Usage{st.int64(0), st.int64(1)};
}

Usage SqliteFileCatalog::usage(std::int64_t user_id) {
  std::lock_guard<std::mutex> lock(mu_);
  return usage_locked(user_id);
}

std::vector<std::pair<std::int64_t, Usage>> SqliteFileCatalog::all_usage() {
  std::lock_guard<std::mutex> lock(mu_);
  SqliteDb::Statement st(db_, "SELECT user_id, bytes, entries FROM usage ORDER BY user_id");
  std::vector<std::pair<std::int64_t, Usage>> out;
  while (st.step()) out.emplace_back(st.int64(0), Usage{st.int64(1), st.int64(2)});
  return out;
}

void SqliteFileCatalog::check_quota(const Change& change, const Usage& before) {
  const Quota& quota = change.quota;
  const Usage after = usage_locked(change.tree.user_id);
  const bool bytes_over = quota.bytes > 0 && after.bytes > before.bytes && after.bytes > quota.bytes;
  const bool entries_over =
      quota.entries > 0 && after.entries > before.entries && after.entries > quota.entries;
  if (!bytes_over && !entries_over) return;
  throw QuotaReached(
      "the quota of account " + quota.account + " is reached: " +
                     (bytes_over ? std::to_string(before.bytes) + " of " +
                                       std::to_string(quota.bytes) + " bytes held, " +
                                       std::to_string(after.bytes - before.bytes) + " more asked"
                                 : std::to_string(before.entries) + " of " +
                                       std::to_string(quota.entries) + " files held"));
}

void SqliteFileCatalog::move_to_history(const char* copy_sql, const char* drop_sql,
                                        const TreeId& tree, const std::string& a,
                                        const std::string& b, std::int64_t seq) {
  SqliteDb::Statement(db_, copy_sql)
      .bind(1, tree.user_id)
      .bind(2, tree.project)
      .bind(3, a)
      .bind(4, b)
      .bind(5, seq)
      .run();
  SqliteDb::Statement(db_, drop_sql)
      .bind(1, tree.user_id)
      .bind(2, tree.project)
      .bind(3, a)
      .bind(4, b)
      .run();
}

void SqliteFileCatalog::retire(const TreeId& tree, const std::string& parent,
                               const std::string& name, std::int64_t seq) {
  move_to_history(kRetireCopy, kRetireDrop, tree, parent, name, seq);
}

std::int64_t SqliteFileCatalog::last_reversion(const TreeId& tree, const std::string& parent,
                                               const std::string& name) {
  SqliteDb::Statement st(db_,
                         "SELECT MAX(reversion) FROM history WHERE " TREE
                         " AND parent = ?3 AND name = ?4");
  st.bind(1, tree.user_id).bind(2, tree.project).bind(3, parent).bind(4, name);
  return st.step() ? st.int64(0) : 0;
}

void SqliteFileCatalog::retire_below(const TreeId& tree, const std::string& dir,
                                     std::int64_t seq) {
  move_to_history(kRetireBelowCopy, kRetireBelowDrop, tree, dir, below_upper(dir), seq);
}

void SqliteFileCatalog::add_reference(std::int64_t user_id, const NewContent& content) {
  // Two statements, not an upsert: its RETURNING clause (to tell a new row
  // from one more reference) costs SQLite a scratch table each time.
  SqliteDb::Statement(db_,
                      "UPDATE contents SET refs = refs + 1 WHERE user_id = ?1 AND sha256 = ?2")
      .bind(1, user_id)
      .bind(2, content.sha256)
      .run();
  if (db_.changes() > 0) return;
  {
    // Statements are cached by their text: this one is done with before
    // the chunks below use it again.
    SqliteDb::Statement insert(db_,
                               "INSERT INTO contents(user_id, sha256, size, refs, external, data)"
                               " VALUES(?1, ?2, ?3, 1, ?4, ?5)");
    insert.bind(1, user_id).bind(2, content.sha256).bind(3, content.size);
    insert.bind(4, content.external ? 1 : 0);
    if (content.external && !content.chunked()) {
      insert.bind_null(5);
    } else {
      insert.bind_blob(5, content.bytes);
    }
    insert.run();
  }
  if (content.chunked()) {
    // The chunks count the bytes; the content refers to each once.
    for (const ChunkRef& chunk : referenced_chunks(content.sha256, content.bytes)) {
      add_reference(user_id, NewContent{chunk.sha256, chunk.size, true, std::string()});
    }
    return;
  }
  add_usage(user_id, content.size, 0);
  if (content.external) {
    SqliteDb::Statement(db_, "DELETE FROM doomed WHERE user_id = ?1 AND sha256 = ?2")
        .bind(1, user_id)
        .bind(2, content.sha256)
        .run();
  }
}

void SqliteFileCatalog::drop_reference(std::int64_t user_id, const std::string& sha256) {
  SqliteDb::Statement(db_,
                      "UPDATE contents SET refs = refs - 1 WHERE user_id = ?1 AND sha256 = ?2")
      .bind(1, user_id)
      .bind(2, sha256)
      .run();
  bool external = false;
  bool chunked = false;
  std::int64_t size = 0;
  std::vector<ChunkRef> chunks;
  {
    SqliteDb::Statement st(
        db_, "SELECT refs, external, size, data FROM contents WHERE user_id = ?1 AND sha256 = ?2");
    st.bind(1, user_id).bind(2, sha256);
    if (!st.step() || st.int64(0) > 0) return;
    external = st.int64(1) != 0;
    size = st.int64(2);
    chunked = external && !st.is_null(3) && parse_chunk_list(st.text(3), &chunks);
  }
  SqliteDb::Statement(db_, "DELETE FROM contents WHERE user_id = ?1 AND sha256 = ?2")
      .bind(1, user_id)
      .bind(2, sha256)
      .run();
  if (chunked) {
    for (const ChunkRef& chunk : distinct_chunks(chunks)) drop_reference(user_id, chunk.sha256);
    return;
  }
  add_usage(user_id, -size, 0);
  if (external) {
    SqliteDb::Statement(db_, "INSERT OR IGNORE INTO doomed(user_id, sha256) VALUES(?1, ?2)")
        .bind(1, user_id)
        .bind(2, sha256)
        .run();
  }
}

void SqliteFileCatalog::apply(const Change& change, std::int64_t now) {
  Pending pending{&change, now, nullptr};
  batches_.submit(pending);
  if (pending.failure) std::rethrow_exception(pending.failure);
}

void SqliteFileCatalog::apply_batch(const std::vector<Pending*>& batch) {
  std::lock_guard<std::mutex> lock(mu_);
  std::size_t applied = 0;
  try {
    begin_held();
    db_.run("SAVEPOINT batch");
    if (!apply_batch_plainly(batch)) {
      undo_batch();
      apply_batch_in_savepoints(batch);
    }
    // Logged before anyone is answered; a batch that cannot be logged is
    // taken back whole.
    for (Pending* pending : batch) {
      if (pending->failure) continue;
      log_->add(*pending->change, pending->seq, pending->now);
      ++applied;
    }
    log_->append();
    db_.run("RELEASE batch");
  } catch (...) {
    log_->discard();
    applied = 0;
    if (db_.in_transaction()) {
      db_.exec_quietly("ROLLBACK TO batch");
      db_.exec_quietly("RELEASE batch");
    }
    for (Pending* pending : batch) {
      if (!pending->failure) pending->failure = std::current_exception();
    }
  }
  // Whatever was taken back may have held a folder made in this batch.
  if (applied < batch.size()) forget_folders();
  held_ += applied;
  if (applied > 0) dirty_ = true;
  restore_held();
  // A transaction that grows without end would make the crash's replay
  // long and hold SQLite's cache: it is committed (not synced) on the way.
  if (held_ >= kMostHeldChanges || log_->size() >= kMostLogBytes) {
    try {
      commit_held(false);
    } catch (const std::exception& e) {
      log_error("catalog: commit failed (the changes stay in the change log): %s", e.what());
    }
  }
}

bool SqliteFileCatalog::apply_batch_plainly(const std::vector<Pending*>& batch) {
  // Most changes are refused, when they are, by a check made before they
  // write anything (the file exists, a folder is a file): those need no
  // rollback and leave the others of the batch as they are. A change that
  // fails after writing (a quota passed, an error of SQLite) takes the
  // whole batch back, and the batch is made again change by change in
  // savepoints.
  const std::int64_t seq_before = seq_;
  for (Pending* pending : batch) {
    const std::int64_t written = db_.total_changes();
    try {
      pending->seq = apply_one(*pending->change, pending->now);
    } catch (...) {
      if (db_.total_changes() != written || !db_.in_transaction()) {
        for (Pending* undone : batch) undone->failure = nullptr;
        seq_ = seq_before;
        return false;
      }
      pending->failure = std::current_exception();
    }
  }
  return true;
}

void SqliteFileCatalog::undo_batch() {
  forget_folders();
  if (db_.in_transaction()) {
    db_.exec("ROLLBACK TO batch");  // the savepoint stays open
    return;
  }
  held_ = replay_log();
  begin_held();
  db_.run("SAVEPOINT batch");
}

void SqliteFileCatalog::apply_batch_in_savepoints(const std::vector<Pending*>& batch) {
  // Each change in a savepoint of its own: one refused change leaves the
  // others of its batch as they are.
  for (Pending* pending : batch) {
    db_.run("SAVEPOINT change");
    try {
      pending->seq = apply_one(*pending->change, pending->now);
      db_.run("RELEASE change");
    } catch (...) {
      pending->failure = std::current_exception();
      forget_folders();  // the change may have made some (a quota check fails after)
      db_.exec("ROLLBACK TO change");
      db_.run("RELEASE change");
    }
  }
}

std::int64_t SqliteFileCatalog::apply_one(const Change& change, std::int64_t now) {
  const TreeId& tree = change.tree;
  const std::int64_t seq = next_seq();
  const bool counted = change.kind != Change::kRemove &&
                       (change.quota.bytes > 0 || change.quota.entries > 0);
  const Usage before = counted ? usage_locked(tree.user_id) : Usage{};
  apply_change(change, seq, now);
  if (counted) check_quota(change, before);
  return seq;
}

void SqliteFileCatalog::begin_held() {
  if (!db_.in_transaction()) db_.run("BEGIN IMMEDIATE");
}

void SqliteFileCatalog::commit_held(bool durable) {
  if (log_ == nullptr) return;
  if (db_.in_transaction()) {
    try {
      // The number is what a restart goes on from, and which logged
      // changes it finds committed.
      write_seq();
      db_.run("COMMIT");
    } catch (...) {
      forget_folders();
      restore_held();
      throw;
    }
    committed_seq_ = seq_;
    held_ = 0;
    // Emptied only now: a crash before this finds its changes committed.
    log_->clear();
  }
  if (!durable) return;
  // A commit under synchronous=FULL syncs the catalog's log, and with it
  // every commit written before (the level cannot change in a transaction).
  // It must change a row: SQLite commits nothing, and syncs nothing, for
  // an update that leaves every value as it was.
  db_.exec("PRAGMA synchronous=FULL");
  try {
    SqliteDb::Transaction transaction(db_);
    SqliteDb::Statement(db_, "UPDATE meta SET value = value + 1 WHERE key = 'syncs'").run();
    transaction.commit();
  } catch (...) {
    db_.exec_quietly("PRAGMA synchronous=NORMAL");
    throw;
  }
  db_.exec("PRAGMA synchronous=NORMAL");
}

void SqliteFileCatalog::write_seq() {
  SqliteDb::Statement(db_, "UPDATE meta SET value = ?1 WHERE key = 'seq'").bind(1, seq_).run();
}

std::size_t SqliteFileCatalog::replay_log() {
  forget_folders();
  std::size_t applied = 0;
  for (const LoggedChange& logged : log_->read_all()) {
    if (logged.seq <= committed_seq_) continue;
    begin_held();
    db_.run("SAVEPOINT change");
    try {
      apply_change(logged.change, logged.seq, logged.now);
      db_.run("RELEASE change");
      ++applied;
    } catch (const std::exception& e) {
      // Applying a change again on the rows it was applied to gives what it
      // gave: this is a damaged log or catalog, and the change is lost.
      log_error("catalog: logged change %lld cannot be applied again: %s",
                static_cast<long long>(logged.seq), e.what());
      db_.exec("ROLLBACK TO change");
      db_.run("RELEASE change");
    }
    seq_ = std::max(seq_, logged.seq);
  }
  return applied;
}

void SqliteFileCatalog::restore_held() {
  if (held_ == 0 || db_.in_transaction()) return;
  try {
    held_ = replay_log();
  } catch (const std::exception& e) {
    log_error("catalog: the changes since the last commit cannot be applied again: %s", e.what());
  }
}

bool SqliteFileCatalog::has_content(std::int64_t user_id, const std::string& sha256) {
  std::lock_guard<std::mutex> lock(mu_);
  return content_known_locked(user_id, sha256);
}

bool SqliteFileCatalog::content_known_locked(std::int64_t user_id, const std::string& sha256) {
  SqliteDb::Statement st(db_, "SELECT 1 FROM contents WHERE user_id = ?1 AND sha256 = ?2");
  st.bind(1, user_id).bind(2, sha256);
  return st.step();
}

std::optional<std::string> SqliteFileCatalog::read_content(std::int64_t user_id,
                                                           const std::string& sha256,
                                                           bool* external) {
  std::lock_guard<std::mutex> lock(mu_);
  SqliteDb::Statement st(db_,
                         "SELECT external, data FROM contents WHERE user_id = ?1 AND sha256 = ?2");
  st.bind(1, user_id).bind(2, sha256);
  *external = false;
  if (!st.step()) return std::nullopt;
  *external = st.int64(0) != 0;
  if (*external && st.is_null(1)) return std::nullopt;
  return st.text(1);
}

void SqliteFileCatalog::make_point(const TreeId& tree, const std::string& name,
                                   std::int64_t made) {
  std::lock_guard<std::mutex> lock(mu_);
  commit_held(false);
  SqliteDb::Statement(db_,
                      "INSERT INTO points(user_id, project, name, seq, made)"
                      " VALUES(?1, ?2, ?3, ?4, ?5) ON CONFLICT(user_id, project, name)"
                      " DO UPDATE SET seq = excluded.seq, made = excluded.made")
      .bind(1, tree.user_id)
      .bind(2, tree.project)
      .bind(3, name)
      .bind(4, seq_)
      .bind(5, made)
      .run();
  dirty_ = true;
}

std::vector<Point> SqliteFileCatalog::points(const TreeId& tree) {
  std::lock_guard<std::mutex> lock(mu_);
  SqliteDb::Statement st(db_, "SELECT name, seq, made FROM points WHERE " TREE " ORDER BY name");
  st.bind(1, tree.user_id).bind(2, tree.project);
  std::vector<Point> out;
  while (st.step()) out.push_back(Point{st.text(0), st.int64(1), st.int64(2)});
  return out;
}

std::optional<Point> SqliteFileCatalog::find_point(const TreeId& tree, const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  SqliteDb::Statement st(db_, "SELECT seq, made FROM points WHERE " TREE " AND name = ?3");
  st.bind(1, tree.user_id).bind(2, tree.project).bind(3, name);
  if (!st.step()) return std::nullopt;
  return Point{name, st.int64(0), st.int64(1)};
}

std::vector<TreeId> SqliteFileCatalog::trees_with_points() {
  std::lock_guard<std::mutex> lock(mu_);
  SqliteDb::Statement st(db_, "SELECT DISTINCT user_id, project FROM points");
  std::vector<TreeId> out;
  while (st.step()) out.push_back(TreeId{st.int64(0), st.text(1)});
  return out;
}

std::size_t SqliteFileCatalog::forget(const TreeId& tree, const std::vector<std::string>& keep,
                                      std::size_t limit) {
  std::lock_guard<std::mutex> lock(mu_);
  commit_held(false);
  SqliteDb::Transaction transaction(db_);
  {
    SqliteDb::Statement st(db_, "SELECT name FROM points WHERE " TREE);
    st.bind(1, tree.user_id).bind(2, tree.project);
    std::vector<std::string> drop;
    while (st.step()) {
      std::string name = st.text(0);
      if (std::find(keep.begin(), keep.end(), name) == keep.end()) drop.push_back(name);
    }
    for (const std::string& name : drop) {
      SqliteDb::Statement(db_, "DELETE FROM points WHERE " TREE " AND name = ?3")
          .bind(1, tree.user_id)
          .bind(2, tree.project)
          .bind(3, name)
          .run();
    }
  }
  // A past row that no kept point falls in is seen by nobody. Rows ended
  // after the newest point are dropped too: no point made later can see
  // them.
  struct Row {
    std::int64_t rowid;
    bool is_dir;
    std::string content;
  };
  std::vector<Row> rows;
  {
    SqliteDb::Statement st(db_,
                           "SELECT rowid, is_dir, content FROM history h WHERE " TREE
                           " AND NOT EXISTS (SELECT 1 FROM points p WHERE p.user_id = h.user_id"
                           " AND p.project = h.project AND p.seq >= h.from_seq"
                           " AND p.seq < h.to_seq) LIMIT ?3");
    st.bind(1, tree.user_id).bind(2, tree.project).bind(3, static_cast<std::int64_t>(limit));
    while (st.step()) rows.push_back(Row{st.int64(0), st.int64(1) != 0, st.text(2)});
  }
  for (const Row& row : rows) {
    SqliteDb::Statement(db_, "DELETE FROM history WHERE rowid = ?1").bind(1, row.rowid).run();
    add_usage(tree.user_id, 0, -1);
    if (!row.is_dir) drop_reference(tree.user_id, row.content);
  }
  transaction.commit();
  dirty_ = true;
  return rows.size();
}

std::vector<FileCatalog::Doomed> SqliteFileCatalog::doomed(std::size_t limit) {
  std::lock_guard<std::mutex> lock(mu_);
  // Only drops that are durable are listed: a change applied since the last
  // sync may doom a content, and a power cut would bring its row back
  // after the content was deleted.
  sync_locked();
  SqliteDb::Statement st(db_, "SELECT user_id, sha256 FROM doomed LIMIT ?1");
  st.bind(1, static_cast<std::int64_t>(limit));
  std::vector<Doomed> out;
  while (st.step()) out.push_back(Doomed{st.int64(0), st.text(1)});
  return out;
}

bool SqliteFileCatalog::is_doomed(const Doomed& content) {
  std::lock_guard<std::mutex> lock(mu_);
  SqliteDb::Statement st(db_, "SELECT 1 FROM doomed WHERE user_id = ?1 AND sha256 = ?2");
  st.bind(1, content.user_id).bind(2, content.sha256);
  return st.step();
}

void SqliteFileCatalog::settle_doomed(const Doomed& content) {
  std::lock_guard<std::mutex> lock(mu_);
  commit_held(false);
  SqliteDb::Statement(db_, "DELETE FROM doomed WHERE user_id = ?1 AND sha256 = ?2")
      .bind(1, content.user_id)
      .bind(2, content.sha256)
      .run();
}

void SqliteFileCatalog::sync() {
  std::lock_guard<std::mutex> syncing(sync_mu_);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!dirty_) {
      // Quiet since the sync before last: the log is copied into the
      // catalog file now, rather than by a checkpoint in the middle of the
      // next backup.
      if (++quiet_syncs_ == 2 && !log_copied_) {
        sqlite3_wal_checkpoint_v2(db_.handle(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr,
                                  nullptr);
        log_copied_ = true;
      }
      return;
    }
    quiet_syncs_ = 0;
    log_copied_ = false;
    // Committed without a sync; the sync below, made while changes go on,
    // holds this commit and every one before it.
    commit_held(false);
    dirty_ = false;
  }
  bool synced = false;
  try {
    synced = sync_log_file();
  } catch (...) {
    std::lock_guard<std::mutex> lock(mu_);
    dirty_ = true;
    throw;
  }
  if (synced) return;
  std::lock_guard<std::mutex> lock(mu_);
  dirty_ = true;
  sync_locked();
}

bool SqliteFileCatalog::sync_log_file() {
  // A commit writes its pages to SQLite's log (WAL) without a sync; a
  // checkpoint syncs the log before it copies the log into the catalog
  // file, and that file after. So once the log is synced, every commit
  // written before is durable, whether still in the log or checkpointed.
  if (!log_file_.valid()) log_file_.reset(::open(log_path_.c_str(), O_RDONLY | O_CLOEXEC));
  if (!log_file_.valid()) return false;
  if (::fdatasync(log_file_.get()) != 0) {
    throw_errno(errno == ENOSPC ? kDiskFull : kInternal, errno, "sync the catalog's log");
  }
  return true;
}

void SqliteFileCatalog::sync_locked() {
  if (!dirty_) return;
  commit_held(true);
  dirty_ = false;
}

bool SqliteFileCatalog::dirty() {
  std::lock_guard<std::mutex> lock(mu_);
  return dirty_;
}

bool SqliteFileCatalog::migrated() {
  std::lock_guard<std::mutex> lock(mu_);
  SqliteDb::Statement st(db_, "SELECT value FROM meta WHERE key = 'migrated'");
  return st.step() && st.int64(0) != 0;
}

void SqliteFileCatalog::set_migrated() {
  std::lock_guard<std::mutex> lock(mu_);
  commit_held(false);
  SqliteDb::Statement(db_, "UPDATE meta SET value = 1 WHERE key = 'migrated'").run();
  dirty_ = true;
}

void SqliteFileCatalog::for_each_content(
    const std::function<void(const StoredContent&)>& visit) {
  // Page by rowid, so that the lock is not held while `visit` runs.
  std::int64_t after = 0;
  for (;;) {
    std::vector<std::pair<std::int64_t, StoredContent>> page;
    {
      std::lock_guard<std::mutex> lock(mu_);
      SqliteDb::Statement st(db_,
                             "SELECT rowid, user_id, sha256, size, external, data FROM contents"
                             " WHERE rowid > ?1 ORDER BY rowid LIMIT 256");
      st.bind(1, after);
      while (st.step()) {
        StoredContent c{st.int64(1), st.text(2), st.int64(3), st.int64(4) != 0, st.text(5)};
        page.emplace_back(st.int64(0), std::move(c));
      }
    }
    for (const auto& row : page) visit(row.second);
    if (page.size() < 256) return;
    after = page.back().first;
  }
}
