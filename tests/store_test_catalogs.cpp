#include "tests/store_test_catalogs.h"

#include <cstdlib>

#include "service/store/sqlite_file_catalog.h"
#ifdef BREVANTO_WITH_PG
#include "service/store/pg_connection.h"
#include "service/store/pg_file_catalog.h"
#endif

std::vector<CatalogKind> every_catalog_kind() {
  return {CatalogKind::kSqlite, CatalogKind::kPostgres};
}

std::string catalog_kind_name(CatalogKind kind) {
  return kind == CatalogKind::kSqlite ? "Sqlite" : "Postgres";
}

std::string test_pg_conninfo() {
  const char* value = std::getenv("BREVANTO_TEST_PG");
  return value == nullptr ? std::string() : std::string(value);
}

std::string pg_test_skip_reason() {
#ifndef BREVANTO_WITH_PG
  return "built without libpq: the PostgreSQL catalog is not tested";
#else
  if (test_pg_conninfo().empty()) {
    return "BREVANTO_TEST_PG is not set: the PostgreSQL catalog is not tested "
           "(scripts/test-pg.sh sets it)";
  }
  return std::string();
#endif
}

void reset_test_pg() {
#ifdef BREVANTO_WITH_PG
  PgConnection db(test_pg_conninfo());
  db.exec("DROP SCHEMA public CASCADE; CREATE SCHEMA public;");
#endif
}

std::unique_ptr<FileCatalog> make_test_catalog(CatalogKind kind, const std::string& dir) {
#ifdef BREVANTO_WITH_PG
  if (kind == CatalogKind::kPostgres) {
    reset_test_pg();
    return std::make_unique<PgFileCatalog>(test_pg_conninfo());
  }
#endif
  (void)kind;
  return std::make_unique<SqliteFileCatalog>(dir + "/catalog.sqlite3");
}
