// At start-up: settles the row changes that a crash left journaled (see
// group_commit.h). For each one the stored file is hashed: when its size
// and SHA-256 are those of the change, the rename happened and the row is
// written; otherwise the file is still the old one (or gone) and the row
// stays. Only journaled files are read.
#ifndef BREVANTO_SERVICE_STORE_OLDER_LAYOUT_CHANGE_RECOVERY_H_
#define BREVANTO_SERVICE_STORE_OLDER_LAYOUT_CHANGE_RECOVERY_H_

class Catalog;

// Returns how many rows were written.
int settle_journaled_changes(Catalog& catalog, int data_fd);

#endif  // BREVANTO_SERVICE_STORE_OLDER_LAYOUT_CHANGE_RECOVERY_H_
