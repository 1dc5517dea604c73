// Folder syncs shared by a batch of requests: each folder is synced once,
// however many of the batch's files were renamed into it.
#ifndef BREVANTO_SERVICE_STORE_SHARED_SYNCS_H_
#define BREVANTO_SERVICE_STORE_SHARED_SYNCS_H_

#include <vector>

// Makes the entries of the folders `fds` durable (the renames into them),
// with one fsync() per distinct folder. Returns, for each of `fds`, 0 or the
// errno of the sync that covers it.
std::vector<int> sync_folders(const std::vector<int>& fds);

#endif  // BREVANTO_SERVICE_STORE_SHARED_SYNCS_H_
