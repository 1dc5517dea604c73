#include "service/store/sqlite_db.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "service/errors.h"

SqliteDb::SqliteDb(const std::string& file, bool read_only) {
  if (read_only) {
    struct stat st;
    const bool has_log = ::stat((file + "-wal").c_str(), &st) == 0;
    // A URI names the file: its path escaped where a URI needs it.
    std::string uri = "file:";
    for (const char c : file) {
      if (c == '%' || c == '?' || c == '#') {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
        uri += hex;
      } else {
        uri += c;
      }
    }
    uri += has_log ? "?mode=ro" : "?mode=ro&immutable=1";
    const int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(uri.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
      const std::string detail = "open " + file + ": " + sqlite3_errmsg(db_);
      sqlite3_close(db_);
      throw ServiceError(kInternal, detail);
    }
    return;
  }
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(file.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    const std::string detail = "open " + file + ": " + sqlite3_errmsg(db_);
    sqlite3_close(db_);
    throw ServiceError(kInternal, detail);
  }
  // Whatever mode the root's umask gave them, the files are the service's
  // alone.
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const std::string path = file + suffix;
    if (::chmod(path.c_str(), 0600) != 0 && errno != ENOENT) {
      const std::string detail = "chmod " + path + ": " + std::strerror(errno);
      sqlite3_close(db_);
      throw ServiceError(kInternal, detail);
    }
  }
}

SqliteDb::~SqliteDb() {
  for (const auto& entry : statements_) sqlite3_finalize(entry.second);
  sqlite3_close(db_);
}

void SqliteDb::exec(const char* sql) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(sql);
}

void SqliteDb::run(const char* sql) {
  if (!Statement(*this, sql).run()) fail(sql);
}

void SqliteDb::exec_quietly(const char* sql) {
  sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
}

void SqliteDb::fail(const char* what) {
  const int rc = sqlite3_errcode(db_);
  throw ServiceError(rc == SQLITE_FULL ? kDiskFull : kInternal,
                     std::string("catalog ") + what + ": " + sqlite3_errmsg(db_));
}

std::int64_t SqliteDb::last_insert_rowid() { return sqlite3_last_insert_rowid(db_); }
int SqliteDb::changes() { return sqlite3_changes(db_); }

std::int64_t SqliteDb::total_changes() { return sqlite3_total_changes64(db_); }

bool SqliteDb::in_transaction() { return sqlite3_get_autocommit(db_) == 0; }

SqliteDb::Statement::Statement(SqliteDb& db, const char* sql) : db_(db) {
  sqlite3_stmt*& cached = db.statements_[sql];
  if (cached != nullptr && db.in_use_.count(cached) > 0) {
    if (sqlite3_prepare_v2(db.db_, sql, -1, &stmt_, nullptr) != SQLITE_OK) db.fail("prepare");
    own_ = true;
    return;
  }
  if (cached == nullptr &&
      sqlite3_prepare_v3(db.db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &cached, nullptr) !=
          SQLITE_OK) {
    db.fail("prepare");
  }
  stmt_ = cached;
  db.in_use_.insert(stmt_);
}

SqliteDb::Statement::~Statement() {
  if (own_) {
    sqlite3_finalize(stmt_);
    return;
  }
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  db_.in_use_.erase(stmt_);
}

SqliteDb::Statement& SqliteDb::Statement::bind(int index, std::int64_t value) {
  sqlite3_bind_int64(stmt_, index, value);
  return *this;
}

SqliteDb::Statement& SqliteDb::Statement::bind(int index, std::string_view text) {
  sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  return *this;
}

SqliteDb::Statement& SqliteDb::Statement::bind_blob(int index, std::string_view bytes) {
  sqlite3_bind_blob(stmt_, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_STATIC);
  return *this;
}

SqliteDb::Statement& SqliteDb::Statement::bind_null(int index) {
  sqlite3_bind_null(stmt_, index);
  return *this;
}

bool SqliteDb::Statement::step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  db_.fail("step");
}

bool SqliteDb::Statement::run() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_DONE || rc == SQLITE_ROW) return true;
  if ((rc & 0xff) == SQLITE_CONSTRAINT) return false;
  db_.fail("step");
}

std::int64_t SqliteDb::Statement::int64(int column) {
  return sqlite3_column_int64(stmt_, column);
}

std::string SqliteDb::Statement::text(int column) {
  const void* p = sqlite3_column_blob(stmt_, column);
  return p ? std::string(static_cast<const char*>(p),
                         static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
           : std::string();
}

bool SqliteDb::Statement::is_null(int column) {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

SqliteDb::Transaction::Transaction(SqliteDb& db) : db_(db) { db.exec("BEGIN IMMEDIATE"); }

SqliteDb::Transaction::~Transaction() {
  if (!done_) sqlite3_exec(db_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

void SqliteDb::Transaction::commit() {
  db_.exec("COMMIT");
  done_ = true;
}
