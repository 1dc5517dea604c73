#include "service/group_commit.h"

#include <unistd.h>

#include <cerrno>

#include "service/atomic_file.h"

int GroupCommit::commit(AtomicFile& file, bool replace, const RowChange& change) {
  if (const int err = file.sync()) {
    file.discard();
    return err;
  }
  Work journal;
  journal.change = &change;
  try {
    submit(journal);
  } catch (...) {
    file.discard();
    throw;
  }
  Work settle;
  settle.change = &change;
  settle.journal = false;
  settle.id = journal.id;
  int err = file.place(replace);
  if (err == 0) {
    settle.placed = true;
    if (::fsync(file.dir_fd()) != 0) err = errno;
  }
  // When the rename is not known to be on disk, the row is still written:
  // the file is in place now, and the reply is a failure either way.
  submit(settle);
  return err;
}

void GroupCommit::submit(Work& work) {
  std::unique_lock<std::mutex> lock(mu_);
  queue_.push_back(&work);
  while (!work.done) {
    if (running_) {
      finished_.wait(lock);
      continue;
    }
    running_ = true;
    std::vector<Work*> batch;
    batch.swap(queue_);
    lock.unlock();
    run_batch(batch);
    lock.lock();
    for (Work* w : batch) w->done = true;
    running_ = false;
    finished_.notify_all();
  }
  if (work.failure) std::rethrow_exception(work.failure);
}

void GroupCommit::run_batch(const std::vector<Work*>& batch) {
  std::vector<const RowChange*> journal;
  std::vector<const RowChange*> rows;
  std::vector<std::int64_t> settled;
  for (const Work* w : batch) {
    if (w->journal) {
      journal.push_back(w->change);
    } else {
      if (w->placed) rows.push_back(w->change);
      settled.push_back(w->id);
    }
  }
  try {
    const std::vector<std::int64_t> ids = catalog_.commit_changes(journal, rows, settled);
    std::size_t next = 0;
    for (Work* w : batch) {
      if (w->journal) w->id = ids[next++];
    }
  } catch (...) {
    for (Work* w : batch) w->failure = std::current_exception();
  }
}
