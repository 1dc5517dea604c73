#include "service/store/catalog.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "service/errors.h"

namespace {

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS users("
    "  id INTEGER PRIMARY KEY,"
    "  name TEXT NOT NULL UNIQUE,"
    "  pwhash TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS files("
    "  user_id INTEGER NOT NULL,"
    "  project TEXT NOT NULL,"
    "  path TEXT NOT NULL,"
    "  reversion INTEGER NOT NULL,"
    "  backup_type INTEGER NOT NULL,"
    "  sha256 TEXT NOT NULL,"
    "  size INTEGER NOT NULL,"
    "  create_time INTEGER NOT NULL,"
    "  modify_time INTEGER NOT NULL,"
    "  PRIMARY KEY(user_id, project, path)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS pending_temps(path TEXT PRIMARY KEY);"
    "CREATE TABLE IF NOT EXISTS pending_rows("
    "  id INTEGER PRIMARY KEY,"
    "  user_id INTEGER NOT NULL,"
    "  project TEXT NOT NULL,"
    "  path TEXT NOT NULL,"
    "  is_update INTEGER NOT NULL,"
    "  backup_type INTEGER NOT NULL,"
    "  sha256 TEXT NOT NULL,"
    "  size INTEGER NOT NULL,"
    "  create_time INTEGER NOT NULL,"
    "  modify_time INTEGER NOT NULL);";

}  // namespace

// A prepared statement from the catalog's cache (prepared on first use;
// the SQL texts are literals, so their address names them), reset for the
// next use when it goes out of scope. The catalog's lock must be held.
class Catalog::Statement {
 public:
  Statement(Catalog& catalog, const char* sql) : catalog_(catalog) {
    sqlite3_stmt*& cached = catalog.statements_[sql];
    if (cached == nullptr &&
        sqlite3_prepare_v3(catalog.db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &cached, nullptr) !=
            SQLITE_OK) {
      catalog.fail("prepare");
    }
    stmt_ = cached;
  }
  ~Statement() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }

  Statement& bind(int index, std::int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
  }
  Statement& bind(int index, const std::string& value) {
    sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                      SQLITE_TRANSIENT);
    return *this;
  }
  // Binds a file row: user, project and path to 1 to 3, then backup type,
  // SHA-256, size, creation and modification time from `first` on.
  Statement& bind_row(const FileRow& row, int first) {
    return bind(1, row.user_id)
        .bind(2, row.project)
        .bind(3, row.path)
        .bind(first, row.backup_type)
        .bind(first + 1, row.sha256)
        .bind(first + 2, row.size)
        .bind(first + 3, row.create_time)
        .bind(first + 4, row.modify_time);
  }
  // True while rows come; false when done.
  bool step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    catalog_.fail("step");
  }
  // Runs a statement that returns no rows; false on a constraint violation.
  bool run() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_DONE) return true;
    if ((rc & 0xff) == SQLITE_CONSTRAINT) return false;
    catalog_.fail("step");
  }
  std::int64_t int64(int column) { return sqlite3_column_int64(stmt_, column); }
  std::string text(int column) {
    const auto* p = sqlite3_column_text(stmt_, column);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
             : std::string();
  }

 private:
  Catalog& catalog_;
  sqlite3_stmt* stmt_ = nullptr;
};

Catalog::Catalog(const std::string& file) {
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(file.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    const std::string detail = std::string("catalog open: ") + sqlite3_errmsg(db_);
    sqlite3_close(db_);
    throw ServiceError(kInternal, detail);
  }
  try {
    sqlite3_busy_timeout(db_, 10000);  // --add-user may write while serving
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=FULL");
    exec(kSchema);
    // The catalog holds the password hashes: whatever mode an older
    // service or the root's umask gave its files, they are the service's
    // alone. SQLite gives the WAL and shared-memory files the catalog's mode
    // when it makes them.
    for (const char* suffix : {"", "-wal", "-shm"}) {
      const std::string path = file + suffix;
      if (::chmod(path.c_str(), 0600) != 0 && errno != ENOENT) {
        throw ServiceError(kInternal, "chmod " + path + ": " + std::strerror(errno));
      }
    }
  } catch (...) {
    sqlite3_close(db_);
    throw;
  }
}

Catalog::~Catalog() {
  for (const auto& entry : statements_) sqlite3_finalize(entry.second);
  sqlite3_close(db_);
}

void Catalog::exec(const char* sql) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(sql);
}

void Catalog::fail(const char* what) {
  const int rc = db_ ? sqlite3_errcode(db_) : SQLITE_CANTOPEN;
  const std::string detail =
      std::string("catalog ") + what + ": " + (db_ ? sqlite3_errmsg(db_) : "cannot open");
  throw ServiceError(rc == SQLITE_FULL ? kDiskFull : kInternal, detail);
}

bool Catalog::add_user(const std::string& name, const std::string& pwhash) {
  std::lock_guard<std::mutex> lock(mu_);
  return Statement(*this, "INSERT INTO users(name, pwhash) VALUES(?1, ?2)")
      .bind(1, name)
      .bind(2, pwhash)
      .run();
}

std::optional<UserRow> Catalog::find_user(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  Statement st(*this, "SELECT id, pwhash FROM users WHERE name = ?1");
  st.bind(1, name);
  if (!st.step()) return std::nullopt;
  return UserRow{st.int64(0), st.text(1)};
}

std::optional<FileRow> Catalog::find_file(std::int64_t user_id, const std::string& project,
                                          const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  Statement st(*this,
               "SELECT reversion, backup_type, sha256, size, create_time, modify_time "
               "FROM files WHERE user_id = ?1 AND project = ?2 AND path = ?3");
  st.bind(1, user_id).bind(2, project).bind(3, path);
  if (!st.step()) return std::nullopt;
  FileRow row;
  row.user_id = user_id;
  row.project = project;
  row.path = path;
  row.reversion = st.int64(0);
  row.backup_type = static_cast<int>(st.int64(1));
  row.sha256 = st.text(2);
  row.size = st.int64(3);
  row.create_time = st.int64(4);
  row.modify_time = st.int64(5);
  return row;
}

// While alive, the connection's commits are not synced (synchronous=NORMAL
// in WAL mode: durable at the next synced commit or checkpoint), for writes
// whose loss in a power cut does no harm.
class Catalog::UnsyncedCommits {
 public:
  explicit UnsyncedCommits(Catalog& catalog) : catalog_(catalog) {
    catalog.exec("PRAGMA synchronous=NORMAL");
  }
  ~UnsyncedCommits() {
    sqlite3_exec(catalog_.db_, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
  }

 private:
  Catalog& catalog_;
};

// BEGIN IMMEDIATE ... COMMIT, rolled back when left by an exception.
class Catalog::Transaction {
 public:
  explicit Transaction(Catalog& catalog) : catalog_(catalog) {
    Statement(catalog, "BEGIN IMMEDIATE").step();
  }
  ~Transaction() {
    if (!done_) sqlite3_exec(catalog_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void commit() {
    Statement(catalog_, "COMMIT").step();
    done_ = true;
  }

 private:
  Catalog& catalog_;
  bool done_ = false;
};

void Catalog::write_row(const RowChange& change) {
  Statement(*this,
            change.update
                ? "INSERT INTO files(user_id, project, path, reversion, backup_type, sha256, size,"
                  " create_time, modify_time) VALUES(?1, ?2, ?3, 1, ?4, ?5, ?6, ?7, ?8)"
                  " ON CONFLICT(user_id, project, path) DO UPDATE SET"
                  " reversion = reversion + 1, backup_type = excluded.backup_type,"
                  " sha256 = excluded.sha256, size = excluded.size,"
                  " modify_time = excluded.modify_time"
                : "INSERT OR REPLACE INTO files(user_id, project, path, reversion, backup_type,"
                  " sha256, size, create_time, modify_time)"
                  " VALUES(?1, ?2, ?3, 1, ?4, ?5, ?6, ?7, ?8)")
      .bind_row(change.row, 4)
      .run();
}

std::vector<std::int64_t> Catalog::commit_changes(const std::vector<const RowChange*>& journal,
                                                   const std::vector<const RowChange*>& rows,
                                                   const std::vector<std::int64_t>& settled) {
  std::lock_guard<std::mutex> lock(mu_);
  std::optional<UnsyncedCommits> unsynced;
  if (journal.empty()) unsynced.emplace(*this);
  Transaction transaction(*this);
  std::vector<std::int64_t> ids;
  for (const RowChange* change : journal) {
    Statement(*this,
              "INSERT INTO pending_rows(user_id, project, path, is_update, backup_type, sha256,"
              " size, create_time, modify_time) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)")
        .bind_row(change->row, 5)
        .bind(4, change->update ? 1 : 0)
        .run();
    ids.push_back(sqlite3_last_insert_rowid(db_));
  }
  for (const RowChange* change : rows) write_row(*change);
  for (const std::int64_t id : settled) {
    Statement(*this, "DELETE FROM pending_rows WHERE id = ?1").bind(1, id).run();
  }
  transaction.commit();
  return ids;
}

std::vector<JournaledChange> Catalog::journaled_changes() {
  std::lock_guard<std::mutex> lock(mu_);
  Statement st(*this,
               "SELECT id, user_id, project, path, is_update, backup_type, sha256, size,"
               " create_time, modify_time FROM pending_rows ORDER BY id");
  std::vector<JournaledChange> out;
  while (st.step()) {
    JournaledChange j;
    j.id = st.int64(0);
    j.change.row.user_id = st.int64(1);
    j.change.row.project = st.text(2);
    j.change.row.path = st.text(3);
    j.change.update = st.int64(4) != 0;
    j.change.row.backup_type = static_cast<int>(st.int64(5));
    j.change.row.sha256 = st.text(6);
    j.change.row.size = st.int64(7);
    j.change.row.create_time = st.int64(8);
    j.change.row.modify_time = st.int64(9);
    out.push_back(std::move(j));
  }
  return out;
}

void Catalog::remove_tree(std::int64_t user_id, const std::string& project,
                          const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  // Paths below `path` start with path + '\'; ']' is the byte after '\', so
  // a range covers them without LIKE and its wildcards.
  Statement(*this,
            "DELETE FROM files WHERE user_id = ?1 AND project = ?2 AND"
            " (path = ?3 OR (path >= ?4 AND path < ?5))")
      .bind(1, user_id)
      .bind(2, project)
      .bind(3, path)
      .bind(4, path + "\\")
      .bind(5, path + "]")
      .run();
}

void Catalog::add_pending_temp(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  Statement(*this, "INSERT OR IGNORE INTO pending_temps(path) VALUES(?1)").bind(1, path).run();
}

void Catalog::remove_pending_temp(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  // Lost in a power cut, the entry only makes the next start try to
  // remove a temp name that no longer exists.
  const UnsyncedCommits unsynced(*this);
  Statement(*this, "DELETE FROM pending_temps WHERE path = ?1").bind(1, path).run();
}

std::vector<std::string> Catalog::pending_temps() {
  std::lock_guard<std::mutex> lock(mu_);
  Statement st(*this, "SELECT path FROM pending_temps");
  std::vector<std::string> paths;
  while (st.step()) paths.push_back(st.text(0));
  return paths;
}
