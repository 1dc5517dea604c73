// Stores uploaded files durably, sharing the catalog's syncs between
// concurrent requests.
//
// A success reply must mean that the file's content and its catalog row
// survive a power cut, and after a crash at any point a file and its row
// must agree. Each request:
//   1. syncs its file's data (in its own thread, so that the file system
//      joins the syncs of concurrent requests);
//   2. journals its row change: one synced catalog transaction for every
//      request waiting at that moment (group commit);
//   3. renames its file into place and syncs the folder;
//   4. writes the row and drops the journal entry: again one transaction
//      for all waiting, and not synced, because the synced journal entry
//      already holds the row.
// A crash before 3 leaves the old file and row (the entry is dropped at
// start-up); after it, the journal says which row the renamed file should
// have, and the start-up writes it (see change_recovery.h).
//
// Group commit is leader and followers: a request that finds no
// transaction running runs one for every request queued, the others wait
// for it.
#ifndef BREVANTO_SERVICE_GROUP_COMMIT_H_
#define BREVANTO_SERVICE_GROUP_COMMIT_H_

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <vector>

#include "service/catalog.h"

class AtomicFile;

class GroupCommit {
 public:
  explicit GroupCommit(Catalog& catalog) : catalog_(catalog) {}
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
    bool journal = true;    // else: settle
    bool placed = false;    // settle: the file is in place, write the row
    std::int64_t id = 0;    // the journal entry
    std::exception_ptr failure;
    bool done = false;
  };

  // Runs `work` in the next transaction; rethrows its failure.
  void submit(Work& work);
  void run_batch(const std::vector<Work*>& batch);

  Catalog& catalog_;
  std::mutex mu_;
  std::condition_variable finished_;
  std::vector<Work*> queue_;
  bool running_ = false;
};

#endif  // BREVANTO_SERVICE_GROUP_COMMIT_H_
