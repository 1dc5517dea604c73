// The SQLite catalog, ROOT/catalog.sqlite3 (WAL mode): the users with their
// password hashes, one row per stored file, and the local temp files that a
// download has under way. One connection serves the whole process; every
// call takes the catalog's lock. Failures throw ServiceError(kInternal), or
// kDiskFull when SQLite reports a full disk.
#ifndef BREVANTO_SERVICE_CATALOG_H_
#define BREVANTO_SERVICE_CATALOG_H_

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

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
  // A file stored anew: its row with Reversion 1, replacing any stale row.
  void record_added(const FileRow& row);
  // A stored file replaced: Reversion goes up by one (to 1 when the file had
  // no row) and CreateTime is kept.
  void record_updated(const FileRow& row);
  // Drops the rows of `path` and of everything below it.
  void remove_tree(std::int64_t user_id, const std::string& project, const std::string& path);

  // The journal of local temp files, removed at the next start if a crash
  // left them behind.
  void add_pending_temp(const std::string& path);
  void remove_pending_temp(const std::string& path);
  std::vector<std::string> pending_temps();

 private:
  class Statement;
  void exec(const char* sql);
  [[noreturn]] void fail(const char* what);

  std::mutex mu_;
  sqlite3* db_ = nullptr;
};

#endif  // BREVANTO_SERVICE_CATALOG_H_
