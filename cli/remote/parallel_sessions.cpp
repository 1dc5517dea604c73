#include "cli/remote/parallel_sessions.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "cli/interrupt.h"

namespace {

// What the threads share; it outlives the call when an interrupt leaves
// them running.
struct Run {
  std::mutex mutex;
  std::condition_variable done;
  std::size_t running = 0;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::vector<std::unique_ptr<Session>> sessions;
  // A copy of the caller's job: threads left running after an interrupt
  // must not call through the caller's object once the call has returned.
  std::function<JobOutcome(Session&, std::size_t, std::size_t)> job;
};

constexpr auto kInterruptCheck = std::chrono::milliseconds(50);

}  // namespace

RunEnd run_in_parallel(Session& first, std::size_t transfers, std::size_t count,
                       const std::function<JobOutcome(Session&, std::size_t, std::size_t)>& job,
                       std::vector<std::unique_ptr<Session>>* keep) {
  const auto run = std::make_shared<Run>();
  run->job = job;
  const auto work = [run, count](Session& session, std::size_t slot) {
    while (!run->stop.load() && !interrupted()) {
      const std::size_t index = run->next.fetch_add(1);
      if (index >= count) break;
      if (run->job(session, index, slot) == JobOutcome::kStopAll) run->stop.store(true);
    }
    std::lock_guard<std::mutex> lock(run->mutex);
    --run->running;
    run->done.notify_all();
  };
  const std::size_t threads = std::max<std::size_t>(1, std::min(transfers, count));
  std::vector<Session*> clients{&first};
  for (std::size_t slot = 1; slot < threads && !interrupted(); ++slot) {
    std::unique_ptr<Session> session = first.another();
    if (!session) break;
    clients.push_back(session.get());
    run->sessions.push_back(std::move(session));
  }
  std::vector<std::thread> workers;
  run->running = clients.size();
  for (std::size_t slot = 0; slot < clients.size(); ++slot) {
    workers.emplace_back(work, std::ref(*clients[slot]), slot);
  }
  {
    std::unique_lock<std::mutex> lock(run->mutex);
    while (run->running > 0) {
      if (interrupted()) {
        lock.unlock();
        for (std::thread& worker : workers) worker.detach();
        return RunEnd::kInterrupted;
      }
      run->done.wait_for(lock, kInterruptCheck);
    }
  }
  for (std::thread& worker : workers) worker.join();
  for (std::unique_ptr<Session>& session : run->sessions) {
    if (keep) {
      keep->push_back(std::move(session));
    } else {
      session->close();
    }
  }
  if (run->next.load() >= count && !run->stop.load() && !interrupted()) return RunEnd::kFinished;
  return interrupted() ? RunEnd::kInterrupted : RunEnd::kStopped;
}
