// Removal, at start-up, of the temp files that a crash left behind.
#ifndef BREVANTO_SERVICE_STORE_TEMP_CLEANUP_H_
#define BREVANTO_SERVICE_STORE_TEMP_CLEANUP_H_

class Catalog;

// Removes every temp file (see atomic_file.h) in every storage tree below
// `data_fd`. Returns how many were removed.
int remove_stale_storage_temps(int data_fd);

// Removes the local temp files journaled by downloads that never finished,
// and empties the journal. Returns how many were removed.
int remove_stale_local_temps(Catalog& catalog);

#endif  // BREVANTO_SERVICE_STORE_TEMP_CLEANUP_H_
