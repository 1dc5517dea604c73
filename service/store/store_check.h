// `brevanto-service --root R check`: the store read against its catalog,
// on the service's side. Every content is read and hashed again (the small
// ones from the catalog, the large ones from their files), then the
// catalog gets SQLite's integrity check and the store's rules
// (sqlite_catalog_check.cpp), in O(n log n) for n rows.
// Run while the service is stopped (the catalog is the service's alone
// while it runs).
#ifndef BREVANTO_SERVICE_STORE_STORE_CHECK_H_
#define BREVANTO_SERVICE_STORE_STORE_CHECK_H_

#include <cstdio>

class ContentStore;
class SqliteFileCatalog;

// Prints a line per fault and a summary to `out`; returns the faults found.
long check_store(SqliteFileCatalog& catalog, ContentStore& contents, std::FILE* out);

#endif  // BREVANTO_SERVICE_STORE_STORE_CHECK_H_
