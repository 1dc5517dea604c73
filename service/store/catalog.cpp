#include "service/store/catalog.h"

#include <sqlite3.h>

#include <optional>

#include "service/errors.h"

namespace {

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS users("
    "  id INTEGER PRIMARY KEY,"
    "  name TEXT NOT NULL UNIQUE,"
    "  pwhash TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS user_uids("
    "  user_id INTEGER NOT NULL,"
    "  uid INTEGER NOT NULL,"
    "  PRIMARY KEY(user_id, uid)) WITHOUT ROWID;"
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

using Statement = SqliteDb::Statement;

// Binds a file row: user, project and path to 1 to 3, then backup type,
// SHA-256, size, creation and modification time from `first` on.
Statement& bind_row(Statement& st, const FileRow& row, int first) {
  return st.bind(1, row.user_id)
      .bind(2, row.project)
      .bind(3, row.path)
      .bind(first, row.backup_type)
      .bind(first + 1, row.sha256)
      .bind(first + 2, row.size)
      .bind(first + 3, row.create_time)
      .bind(first + 4, row.modify_time);
}

}  // namespace

Catalog::Catalog(const std::string& file, bool read_only)
    : db_(file, read_only), read_only_(read_only) {
  sqlite3_busy_timeout(db_.handle(), 10000);  // --add-user may write while serving
  if (read_only) return;
  db_.exec("PRAGMA journal_mode=WAL");
  db_.exec("PRAGMA synchronous=FULL");
  db_.exec(kSchema);
}

std::optional<UserRow> Catalog::find_user(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  Statement st(db_, "SELECT id, pwhash FROM users WHERE name = ?1");
  st.bind(1, name);
  if (!st.step()) return std::nullopt;
  return UserRow{st.int64(0), st.text(1)};
}

std::optional<FileRow> Catalog::find_file(std::int64_t user_id, const std::string& project,
                                          const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  Statement st(db_,
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
    catalog.db_.exec("PRAGMA synchronous=NORMAL");
  }
  ~UnsyncedCommits() {
    sqlite3_exec(catalog_.db_.handle(), "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
  }

 private:
  Catalog& catalog_;
};

bool Catalog::add_user(const std::string& name, const std::string& pwhash,
                       const std::vector<std::uint32_t>& uids) {
  std::lock_guard<std::mutex> lock(mu_);
  SqliteDb::Transaction transaction(db_);
  if (!Statement(db_, "INSERT INTO users(name, pwhash) VALUES(?1, ?2)")
           .bind(1, name)
           .bind(2, pwhash)
           .run()) {
    return false;
  }
  bind_uids(db_.last_insert_rowid(), uids);
  transaction.commit();
  return true;
}

bool Catalog::allow_uids(const std::string& name, const std::vector<std::uint32_t>& uids) {
  std::lock_guard<std::mutex> lock(mu_);
  SqliteDb::Transaction transaction(db_);
  std::int64_t id = 0;
  {
    Statement st(db_, "SELECT id FROM users WHERE name = ?1");
    st.bind(1, name);
    if (!st.step()) return false;
    id = st.int64(0);
  }
  bind_uids(id, uids);
  transaction.commit();
  return true;
}

void Catalog::bind_uids(std::int64_t user_id, const std::vector<std::uint32_t>& uids) {
  for (const std::uint32_t uid : uids) {
    Statement(db_, "INSERT OR IGNORE INTO user_uids(user_id, uid) VALUES(?1, ?2)")
        .bind(1, user_id)
        .bind(2, static_cast<std::int64_t>(uid))
        .run();
  }
}

std::vector<std::uint32_t> Catalog::user_uids(std::int64_t user_id) {
  std::lock_guard<std::mutex> lock(mu_);
  Statement st(db_, "SELECT uid FROM user_uids WHERE user_id = ?1 ORDER BY uid");
  st.bind(1, user_id);
  std::vector<std::uint32_t> uids;
  while (st.step()) uids.push_back(static_cast<std::uint32_t>(st.int64(0)));
  return uids;
}

int Catalog::bind_unbound_users(std::uint32_t uid) {
  std::lock_guard<std::mutex> lock(mu_);
  Statement(db_,
            "INSERT INTO user_uids(user_id, uid) SELECT id, ?1 FROM users"
            " WHERE id NOT IN (SELECT user_id FROM user_uids)")
      .bind(1, static_cast<std::int64_t>(uid))
      .run();
  return db_.changes();
}

void Catalog::write_row(const RowChange& change) {
  Statement st(db_,
            change.update
                ? "INSERT INTO files(user_id, project, path, reversion, backup_type, sha256, size,"
                  " create_time, modify_time) VALUES(?1, ?2, ?3, 1, ?4, ?5, ?6, ?7, ?8)"
                  " ON CONFLICT(user_id, project, path) DO UPDATE SET"
                  " reversion = reversion + 1, backup_type = excluded.backup_type,"
                  " sha256 = excluded.sha256, size = excluded.size,"
                  " modify_time = excluded.modify_time"
                : "INSERT OR REPLACE INTO files(user_id, project, path, reversion, backup_type,"
                  " sha256, size, create_time, modify_time)"
                  " VALUES(?1, ?2, ?3, 1, ?4, ?5, ?6, ?7, ?8)");
  bind_row(st, change.row, 4).run();
}

std::vector<std::int64_t> Catalog::commit_changes(const std::vector<const RowChange*>& journal,
                                                   const std::vector<const RowChange*>& rows,
                                                   const std::vector<std::int64_t>& settled) {
  std::lock_guard<std::mutex> lock(mu_);
  std::optional<UnsyncedCommits> unsynced;
  if (journal.empty()) unsynced.emplace(*this);
  SqliteDb::Transaction transaction(db_);
  std::vector<std::int64_t> ids;
  for (const RowChange* change : journal) {
    Statement st(db_,
                 "INSERT INTO pending_rows(user_id, project, path, is_update, backup_type, sha256,"
                 " size, create_time, modify_time) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    bind_row(st, change->row, 5).bind(4, change->update ? 1 : 0).run();
    ids.push_back(db_.last_insert_rowid());
  }
  for (const RowChange* change : rows) write_row(*change);
  for (const std::int64_t id : settled) {
    Statement(db_, "DELETE FROM pending_rows WHERE id = ?1").bind(1, id).run();
  }
  transaction.commit();
  return ids;
}

std::vector<JournaledChange> Catalog::journaled_changes() {
  std::lock_guard<std::mutex> lock(mu_);
  Statement st(db_,
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

void Catalog::add_pending_temp(const std::string& path) {
  if (read_only_) return;
  std::lock_guard<std::mutex> lock(mu_);
  Statement(db_, "INSERT OR IGNORE INTO pending_temps(path) VALUES(?1)").bind(1, path).run();
}

void Catalog::remove_pending_temp(const std::string& path) {
  if (read_only_) return;
  std::lock_guard<std::mutex> lock(mu_);
  // Lost in a power cut, the entry only makes the next start try to
  // remove a temp name that no longer exists.
  const UnsyncedCommits unsynced(*this);
  Statement(db_, "DELETE FROM pending_temps WHERE path = ?1").bind(1, path).run();
}

std::vector<std::string> Catalog::pending_temps() {
  std::lock_guard<std::mutex> lock(mu_);
  Statement st(db_, "SELECT path FROM pending_temps");
  std::vector<std::string> paths;
  while (st.step()) paths.push_back(st.text(0));
  return paths;
}
