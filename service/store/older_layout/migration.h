// The move, at start-up, from the older layout of a storage root to the
// store: ROOT/data/u<user id>/<project folder>/... held a file per stored
// file, with its row (Reversion, times) in the accounts catalog. Each tree
// is copied into the store, folders and files with their rows, and
// ROOT/data is removed once the store holds it all durably. A migration
// cut short by a crash starts again at the next start and skips what is
// already stored, so nothing is lost and nothing stored twice.
#ifndef BREVANTO_SERVICE_STORE_OLDER_LAYOUT_MIGRATION_H_
#define BREVANTO_SERVICE_STORE_OLDER_LAYOUT_MIGRATION_H_

class Catalog;
class SqliteFileCatalog;
class Store;

// Returns how many files were moved; 0 when there was nothing to move.
// Throws ServiceError.
long migrate_old_layout(int root_fd, Catalog& old_rows, SqliteFileCatalog& catalog,
                        Store& store);

#endif  // BREVANTO_SERVICE_STORE_OLDER_LAYOUT_MIGRATION_H_
