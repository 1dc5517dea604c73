#include "service/store/group_commit.h"

#include "service/store/atomic_file.h"
#include "service/store/shared_syncs.h"

GroupCommit::GroupCommit(Catalog& catalog)
    : catalog_(catalog),
      journals_([this](const std::vector<Work*>& batch) { journal(batch); }),
      settles_([this](const std::vector<Work*>& batch) { settle(batch); }) {}

int GroupCommit::commit(AtomicFile& file, bool replace, const RowChange& change) {
  Work work;
  work.change = &change;
  work.dir_fd = file.dir_fd();
  // The journal entry may be written while the file syncs: both are
  // durable before the rename, and an entry whose file never came is
  // dropped (below, or at start-up).
  const auto journaled = journals_.enqueue(work);
  int err = file.sync();
  journals_.wait(journaled);
  if (work.failure) {
    file.discard();
    std::rethrow_exception(work.failure);
  }
  if (err == 0) {
    err = file.place(replace);
  } else {
    file.discard();
  }
  if (err == 0) work.placed = true;
  // A failed sync or rename only drops the journal entry. When the rename
  // is not known to be on disk the row is still written: the file is in
  // place now, and the reply is a failure either way.
  settles_.submit(work);
  if (work.failure) std::rethrow_exception(work.failure);
  return err != 0 ? err : work.sync_err;
}

void GroupCommit::journal(const std::vector<Work*>& batch) {
  std::vector<const RowChange*> changes;
  for (const Work* w : batch) changes.push_back(w->change);
  try {
    const std::vector<std::int64_t> ids = catalog_.commit_changes(changes, {}, {});
    for (std::size_t i = 0; i < batch.size(); ++i) batch[i]->id = ids[i];
  } catch (...) {
    for (Work* w : batch) w->failure = std::current_exception();
  }
}

void GroupCommit::settle(const std::vector<Work*>& batch) {
  std::vector<Work*> placed;
  std::vector<int> folders;
  std::vector<const RowChange*> rows;
  std::vector<std::int64_t> settled;
  for (Work* w : batch) {
    if (w->placed) {
      placed.push_back(w);
      folders.push_back(w->dir_fd);
      rows.push_back(w->change);
    }
    settled.push_back(w->id);
  }
  const std::vector<int> errs = sync_folders(folders);
  for (std::size_t i = 0; i < placed.size(); ++i) placed[i]->sync_err = errs[i];
  try {
    catalog_.commit_changes({}, rows, settled);
  } catch (...) {
    for (Work* w : batch) w->failure = std::current_exception();
  }
}
