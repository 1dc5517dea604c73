#include "service/store/pg_schema.h"

#include <string>

#include "service/errors.h"
#include "service/store/pg_connection.h"

namespace {

// Paths compare byte by byte ("C"), as the SQLite catalog's do: listings
// page by name, and a folder's rows are found as a range of parents.
const char* const kSteps[kPgSchemaVersion] = {
    // 1: the tables of the SQLite catalog, with the change numbers in a
    // sequence, and the lease of the collection.
    "CREATE SEQUENCE change_seq;"
    "CREATE TABLE nodes("
    "  user_id BIGINT NOT NULL, project TEXT COLLATE \"C\" NOT NULL,"
    "  parent TEXT COLLATE \"C\" NOT NULL, name TEXT COLLATE \"C\" NOT NULL,"
    "  is_dir BOOLEAN NOT NULL, content TEXT NOT NULL, size BIGINT NOT NULL,"
    "  backup_type INTEGER NOT NULL, reversion BIGINT NOT NULL,"
    "  create_time BIGINT NOT NULL, modify_time BIGINT NOT NULL, from_seq BIGINT NOT NULL,"
    "  PRIMARY KEY(user_id, project, parent, name));"
    "CREATE TABLE history(id BIGSERIAL PRIMARY KEY,"
    "  user_id BIGINT NOT NULL, project TEXT COLLATE \"C\" NOT NULL,"
    "  parent TEXT COLLATE \"C\" NOT NULL, name TEXT COLLATE \"C\" NOT NULL,"
    "  is_dir BOOLEAN NOT NULL, content TEXT NOT NULL, size BIGINT NOT NULL,"
    "  backup_type INTEGER NOT NULL, reversion BIGINT NOT NULL,"
    "  create_time BIGINT NOT NULL, modify_time BIGINT NOT NULL, from_seq BIGINT NOT NULL,"
    "  to_seq BIGINT NOT NULL);"
    "CREATE INDEX history_path ON history(user_id, project, parent, name, from_seq);"
    "CREATE TABLE contents(user_id BIGINT NOT NULL, sha256 TEXT NOT NULL, size BIGINT NOT NULL,"
    "  refs BIGINT NOT NULL, external BOOLEAN NOT NULL, data BYTEA,"
    "  PRIMARY KEY(user_id, sha256));"
    "CREATE TABLE doomed(user_id BIGINT NOT NULL, sha256 TEXT NOT NULL,"
    "  PRIMARY KEY(user_id, sha256));"
    "CREATE TABLE points(user_id BIGINT NOT NULL, project TEXT COLLATE \"C\" NOT NULL,"
    "  name TEXT COLLATE \"C\" NOT NULL, seq BIGINT NOT NULL, made BIGINT NOT NULL,"
    "  PRIMARY KEY(user_id, project, name));"
    "CREATE INDEX points_seq ON points(user_id, project, seq);"
    "CREATE TABLE usage(user_id BIGINT PRIMARY KEY, bytes BIGINT NOT NULL,"
    "  entries BIGINT NOT NULL);"
    "CREATE TABLE leases(name TEXT PRIMARY KEY, holder TEXT NOT NULL,"
    "  expires TIMESTAMPTZ NOT NULL);",
    // 2: the wrapped content keys of the accounts, shared by every service
    // (--content-key): the first one stored for an account is its key.
    "CREATE TABLE account_keys(user_id BIGINT PRIMARY KEY, wrapped BYTEA NOT NULL);",
};

// The lock that services starting together take to migrate one at a time.
constexpr const char* kMigrationLock = "SELECT pg_advisory_xact_lock(7262137110)";

}  // namespace

void migrate_pg_schema(PgConnection& db) {
  db.exec("BEGIN");
  try {
    db.exec(kMigrationLock);
    db.exec("CREATE TABLE IF NOT EXISTS schema_version(version INTEGER NOT NULL)");
    PgResult found = db.run("SELECT MAX(version) FROM schema_version");
    const int version =
        found.rows() == 0 || found.is_null(0, 0) ? 0 : static_cast<int>(found.int64(0, 0));
    if (version > kPgSchemaVersion) {
      throw ServiceError(kInternal, "the catalog database has schema version " +
                                        std::to_string(version) + ", newer than this service's " +
                                        std::to_string(kPgSchemaVersion));
    }
    for (int step = version; step < kPgSchemaVersion; ++step) db.exec(kSteps[step]);
    if (version < kPgSchemaVersion) {
      db.exec("DELETE FROM schema_version");
      db.exec("INSERT INTO schema_version VALUES(" + std::to_string(kPgSchemaVersion) + ")");
    }
    db.exec("COMMIT");
  } catch (...) {
    try {
      db.exec("ROLLBACK");
    } catch (...) {
    }
    throw;
  }
}
