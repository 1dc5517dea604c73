// One SQLite connection with a cache of prepared statements, for the
// service's catalogs. Not thread-safe: callers serialise their use.
// Failures throw ServiceError(kInternal), or kDiskFull when SQLite reports
// a full disk.
#ifndef BREVANTO_SERVICE_STORE_SQLITE_DB_H_
#define BREVANTO_SERVICE_STORE_SQLITE_DB_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

struct sqlite3;
struct sqlite3_stmt;

class SqliteDb {
 public:
  // Opens or creates `file`, with the catalog's files made 0600. A
  // read-only one is opened only for reading, and as immutable when it has
  // no log (a read-only folder could not hold the log's index either).
  explicit SqliteDb(const std::string& file, bool read_only = false);
  ~SqliteDb();
  SqliteDb(const SqliteDb&) = delete;
  SqliteDb& operator=(const SqliteDb&) = delete;

  void exec(const char* sql);
  // Runs one statement prepared once and kept, for those a busy catalog
  // runs again and again (BEGIN, COMMIT, SAVEPOINT, RELEASE): exec() would
  // parse them every time.
  void run(const char* sql);
  // Runs `sql` and ignores a failure: for taking things back after one.
  void exec_quietly(const char* sql);
  [[noreturn]] void fail(const char* what);
  std::int64_t last_insert_rowid();
  int changes();
  // Rows written by every statement completed so far on this connection.
  std::int64_t total_changes();
  // False when no transaction is open (SQLite ends one by itself after
  // some errors).
  bool in_transaction();
  sqlite3* handle() { return db_; }

  // A statement from the cache (prepared on first use; the SQL texts are
  // literals, so their address names them), reset when it goes out of
  // scope. A statement of a text that is in use already (a function that
  // calls itself) is prepared anew, for this use only.
  class Statement {
   public:
    Statement(SqliteDb& db, const char* sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, std::int64_t value);
    Statement& bind(int index, std::string_view text);
    Statement& bind_blob(int index, std::string_view bytes);
    Statement& bind_null(int index);
    // True while rows come; false when done.
    bool step();
    // Runs a statement that returns no rows; false on a constraint violation.
    bool run();
    std::int64_t int64(int column);
    std::string text(int column);
    bool is_null(int column);

   private:
    SqliteDb& db_;
    sqlite3_stmt* stmt_ = nullptr;
    bool own_ = false;
  };

  // BEGIN IMMEDIATE ... COMMIT, rolled back when left by an exception.
  class Transaction {
   public:
    explicit Transaction(SqliteDb& db);
    ~Transaction();
    void commit();

   private:
    SqliteDb& db_;
    bool done_ = false;
  };

 private:
  sqlite3* db_ = nullptr;
  std::unordered_map<const char*, sqlite3_stmt*> statements_;
  std::unordered_set<sqlite3_stmt*> in_use_;
};

#endif  // BREVANTO_SERVICE_STORE_SQLITE_DB_H_
