// Leader and followers: work that concurrent threads submit is run in
// batches. A thread that finds no batch running runs one for everything
// queued; the others wait until a batch that began after they queued has
// run their work. Costs that a batch pays once (a transaction, a sync) are
// thus shared by everyone who came while the last one ran.
#ifndef BREVANTO_SERVICE_STORE_BATCH_RUNNER_H_
#define BREVANTO_SERVICE_STORE_BATCH_RUNNER_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

template <typename Work>
class BatchRunner {
 public:
  using Run = std::function<void(const std::vector<Work*>& batch)>;

  // `run` must not throw: it reports failures in the work items.
  explicit BatchRunner(Run run) : run_(std::move(run)) {}
  BatchRunner(const BatchRunner&) = delete;
  BatchRunner& operator=(const BatchRunner&) = delete;

  // Returns once `work` has been run in a batch that began after the call.
  void submit(Work& work) { wait(enqueue(work)); }

  // submit() in two steps, for a caller with other work meanwhile: the
  // work joins the queue now, and wait() returns once it has run (running
  // the batch itself if no other thread has begun it).
  using Ticket = std::uint64_t;
  Ticket enqueue(Work& work) {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back(&work);
    return started_ + 1;  // the next batch takes the queue
  }
  void wait(Ticket ticket) {
    std::unique_lock<std::mutex> lock(mu_);
    while (done_ < ticket) {
      if (running_) {
        finished_.wait(lock);
        continue;
      }
      running_ = true;
      ++started_;
      std::vector<Work*> batch;
      batch.swap(queue_);
      lock.unlock();
      run_(batch);
      lock.lock();
      done_ = started_;
      running_ = false;
      finished_.notify_all();
    }
  }

 private:
  Run run_;
  std::mutex mu_;
  std::condition_variable finished_;
  std::vector<Work*> queue_;
  bool running_ = false;
  std::uint64_t started_ = 0;  // batches begun
  std::uint64_t done_ = 0;     // batches run
};

#endif  // BREVANTO_SERVICE_STORE_BATCH_RUNNER_H_
