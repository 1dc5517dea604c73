// The accounts catalog, ROOT/catalog.sqlite3 (WAL mode): the users with
// their password hashes and the uids that may use each, and the local temp
// files that a download has under way. It also holds what the older layout
// kept here, a row per stored file and the journal of row changes, which
// are read when that layout moves into the store (see migration.h). One connection
// serves the whole process; every call takes the catalog's lock. Failures
// throw ServiceError(kInternal), or kDiskFull when SQLite reports a full
// disk.
#ifndef BREVANTO_SERVICE_STORE_CATALOG_H_
#define BREVANTO_SERVICE_STORE_CATALOG_H_

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "service/store/sqlite_db.h"


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
  // Opens or creates the catalog file and its tables. A read-only one is
  // only read, and keeps no journal of local temp files (a crash during a
  // download may then leave its temp file behind).
  explicit Catalog(const std::string& file, bool read_only = false);
  Catalog(const Catalog&) = delete;
  Catalog& operator=(const Catalog&) = delete;

  // False when the name is taken. The account is bound to `uids` (the
  // Linux users who may use it, see accounts/account_uids.h) in the same
  // transaction.
  bool add_user(const std::string& name, const std::string& pwhash,
                const std::vector<std::uint32_t>& uids = {});
  std::optional<UserRow> find_user(const std::string& name);
  // Lets `uids` use the account `name` too; false when there is none.
  bool allow_uids(const std::string& name, const std::vector<std::uint32_t>& uids);
  // The uids that may use the account `user_id`, ascending.
  std::vector<std::uint32_t> user_uids(std::int64_t user_id);
  // Binds every account bound to no uid to `uid`; returns how many.
  int bind_unbound_users(std::uint32_t uid);

  std::optional<FileRow> find_file(std::int64_t user_id, const std::string& project,
                                   const std::string& path);
  // The older layout's journal of row changes that made a file's rename
  // and its row one step. In one transaction: journals `journal` and
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

  // The journal of local temp files, removed at the next start if a crash
  // left them behind. An entry is synced when added (before its file is
  // made), not when removed.
  void add_pending_temp(const std::string& path);
  void remove_pending_temp(const std::string& path);
  std::vector<std::string> pending_temps();

 private:
  class UnsyncedCommits;
  // Writes the row of one change; the lock must be held.
  void write_row(const RowChange& change);
  // Lets `uids` use the account; the lock must be held.
  void bind_uids(std::int64_t user_id, const std::vector<std::uint32_t>& uids);

  std::mutex mu_;
  SqliteDb db_;
  bool read_only_ = false;
};

#endif  // BREVANTO_SERVICE_STORE_CATALOG_H_
