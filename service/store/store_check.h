// `brevanto-service --root R check`: the store read against its catalog,
// on the service's side. Every content is read and hashed again (the small
// ones from the catalog, the large ones from their files), then the
// catalog gets its database's own check and the store's rules
// (catalog_rules.h), in O(n log n) for n rows.
// Run while the service is stopped (the catalog is the service's alone
// while it runs).
#ifndef BREVANTO_SERVICE_STORE_STORE_CHECK_H_
#define BREVANTO_SERVICE_STORE_STORE_CHECK_H_

#include <cstdio>

class ContentStore;
class FileCatalog;

// Prints a line per fault and a summary to `out`; returns the faults found.
long check_store(FileCatalog& catalog, ContentStore& contents, std::FILE* out);

#endif  // BREVANTO_SERVICE_STORE_STORE_CHECK_H_
