#include "cli/parallel_sessions.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "cli/interrupt.h"

bool run_in_parallel(Session& first, std::size_t transfers, std::size_t count,
                     const std::function<JobOutcome(Session&, std::size_t, std::size_t)>& job) {
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  const auto work = [&](Session& session, std::size_t slot) {
    while (!stop.load() && !interrupted()) {
      const std::size_t index = next.fetch_add(1);
      if (index >= count) return;
      if (job(session, index, slot) == JobOutcome::kStopAll) stop.store(true);
    }
  };
  const std::size_t threads = std::max<std::size_t>(1, std::min(transfers, count));
  std::vector<std::unique_ptr<Session>> sessions;
  std::vector<std::thread> workers;
  for (std::size_t slot = 1; slot < threads; ++slot) {
    std::unique_ptr<Session> session = first.another();
    if (!session) break;
    sessions.push_back(std::move(session));
    workers.emplace_back(work, std::ref(*sessions.back()), sessions.size());
  }
  work(first, 0);
  for (std::thread& worker : workers) worker.join();
  for (std::unique_ptr<Session>& session : sessions) session->close();
  return next.load() >= count && !stop.load();
}
