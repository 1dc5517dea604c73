// The catalogs the store's tests run against: the SQLite file always, and
// PostgreSQL when BREVANTO_TEST_PG holds a libpq connection string (see
// scripts/test-pg.sh); each test gets an empty database.
#ifndef BREVANTO_TESTS_STORE_TEST_CATALOGS_H_
#define BREVANTO_TESTS_STORE_TEST_CATALOGS_H_

#include <memory>
#include <string>
#include <vector>

#include "service/store/file_catalog.h"

enum class CatalogKind { kSqlite, kPostgres };

// Both kinds, for INSTANTIATE_TEST_SUITE_P, and their names.
std::vector<CatalogKind> every_catalog_kind();
std::string catalog_kind_name(CatalogKind kind);

// BREVANTO_TEST_PG, or empty.
std::string test_pg_conninfo();
// Why a PostgreSQL test cannot run here (empty when it can).
std::string pg_test_skip_reason();
// Empties the test database: every table of the catalog dropped.
void reset_test_pg();

// A new catalog: a SQLite file in `dir`, or the test database emptied.
std::unique_ptr<FileCatalog> make_test_catalog(CatalogKind kind, const std::string& dir);

#endif  // BREVANTO_TESTS_STORE_TEST_CATALOGS_H_
