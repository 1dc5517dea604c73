// Stores uploaded files durably, sharing the syncs between concurrent
// requests.
//
// A success reply must mean that the file's content and its catalog row
// survive a power cut, and after a crash at any point a file and its row
// must agree. Each request:
//   1. syncs its file (in its own thread, so that the file system joins
//      the syncs of concurrent requests), while
//   2. its row change is journaled;
//   3. renames its file into place;
//   4. syncs the folder, writes the row and drops the journal entry.
// Steps 2 and 4 are shared by the requests waiting at one moment (see
// batch_runner.h): step 2 is one synced catalog transaction for all, step
// 4 one fsync() per folder and one transaction, not synced, because the
// durable journal entries already hold the rows. A crash before a rename
// is on disk leaves the old file and row (the entry is dropped at
// start-up); after it, the journal says which row the renamed file should
// have, and the start-up writes it (see change_recovery.h).
#ifndef BREVANTO_SERVICE_STORE_GROUP_COMMIT_H_
#define BREVANTO_SERVICE_STORE_GROUP_COMMIT_H_

#include <cstdint>
#include <exception>
#include <vector>

#include "service/store/batch_runner.h"
#include "service/store/catalog.h"

class AtomicFile;

class GroupCommit {
 public:
  explicit GroupCommit(Catalog& catalog);
  GroupCommit(const GroupCommit&) = delete;
  GroupCommit& operator=(const GroupCommit&) = delete;

  // Puts the written temp file `file` in place (over an existing target when
  // `replace`, else EEXIST when the target exists) with `change` recorded,
  // and returns once both are durable: 0, or the errno of the failed step
  // (the temp file is then gone and the row unchanged). Throws ServiceError
  // when the catalog fails.
  int commit(AtomicFile& file, bool replace, const RowChange& change);

 private:
  struct Work {
    const RowChange* change = nullptr;
    int dir_fd = -1;
    std::int64_t id = 0;  // the journal entry
    bool placed = false;  // the file was renamed into place
    int sync_err = 0;     // of the folder's sync
    std::exception_ptr failure;
  };

  void journal(const std::vector<Work*>& batch);
  void settle(const std::vector<Work*>& batch);

  Catalog& catalog_;
  BatchRunner<Work> journals_;
  BatchRunner<Work> settles_;
};

#endif  // BREVANTO_SERVICE_STORE_GROUP_COMMIT_H_
