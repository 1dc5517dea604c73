// The SQLite catalog, ROOT/catalog.sqlite3 (WAL mode): the users with their
// password hashes, one row per stored file, and the local temp files that a
// download has under way. One connection serves the whole process; every
// call takes the catalog's lock. Failures throw ServiceError(kInternal), or
// kDiskFull when SQLite reports a full disk.
#ifndef BREVANTO_SERVICE_STORE_CATALOG_H_
#define BREVANTO_SERVICE_STORE_CATALOG_H_

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

struct UserRow {
  std::int64_t id = 0;
  std::string pwhash;
};

// A stored file. `path` is the canonical storage path ("\a\b.txt").
struct FileRow {
  std::int64_t user_id = 0;
  std::string project;
  std::string path;
  std::int64_t reversion = 0;
  int backup_type = 0;
  std::string sha256;  // lower-case hex
  std::int64_t size = 0;
  std::int64_t create_time = 0;  // FILETIME counts
  std::int64_t modify_time = 0;
};

// A row about to change with a file put in place: AddFile's new row, or
// UpdateFile's (Reversion then goes up by one).
struct RowChange {
  FileRow row;
  bool update = false;
};

// A change journaled before its file was put in place, found at start-up.
struct JournaledChange {
  std::int64_t id = 0;
  RowChange change;
};

class Catalog {
 public:
  // Opens or creates the catalog file and its tables.
  explicit Catalog(const std::string& file);
  ~Catalog();
  Catalog(const Catalog&) = delete;
  Catalog& operator=(const Catalog&) = delete;

  // False when the name is taken.
  bool add_user(const std::string& name, const std::string& pwhash);
  std::optional<UserRow> find_user(const std::string& name);

  std::optional<FileRow> find_file(std::int64_t user_id, const std::string& project,
                                   const std::string& path);
  // The journal of row changes that make a file's rename and its row one
  // step (see group_commit.h). In one transaction: journals `journal` and
  // returns their ids, writes the rows of `rows`, and drops the journal
  // entries `settled`. The transaction is synced when it journals
  // anything; settling alone is not, as the synced journal entries hold
  // the same rows. A file stored anew gets its row with Reversion 1,
  // replacing any stale row; a stored file replaced has its Reversion go up
  // by one (to 1 when the file had no row), and its CreateTime is kept.
  std::vector<std::int64_t> commit_changes(const std::vector<const RowChange*>& journal,
                                           const std::vector<const RowChange*>& rows,
                                           const std::vector<std::int64_t>& settled);
  std::vector<JournaledChange> journaled_changes();

  // Drops the rows of `path` and of everything below it.
  void remove_tree(std::int64_t user_id, const std::string& project, const std::string& path);

  // The journal of local temp files, removed at the next start if a crash
  // left them behind. An entry is synced when added (before its file is
  // made), not when removed.
  void add_pending_temp(const std::string& path);
  void remove_pending_temp(const std::string& path);
  std::vector<std::string> pending_temps();

 private:
  class Statement;
  class Transaction;
  class UnsyncedCommits;
  void exec(const char* sql);
  // Writes the row of one change; the lock must be held.
  void write_row(const RowChange& change);
  [[noreturn]] void fail(const char* what);

  std::mutex mu_;
  sqlite3* db_ = nullptr;
  std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

#endif  // BREVANTO_SERVICE_STORE_CATALOG_H_
