#include "service/store/housekeeper.h"

#include <exception>

#include "service/log.h"

Housekeeper::Housekeeper(Tasks tasks, std::chrono::milliseconds sync_interval)
    : tasks_(std::move(tasks)), interval_(sync_interval), thread_([this] { run(); }) {}

Housekeeper::~Housekeeper() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

bool Housekeeper::sync() {
  try {
    tasks_.sync();
    return true;
  } catch (const std::exception& e) {
    log_error("store sync failed: %s", e.what());
    return false;
  }
}

bool Housekeeper::sync_now() {
  std::unique_lock<std::mutex> lock(mu_);
  const std::uint64_t ticket = ++asked_;
  wake_.notify_all();
  synced_.wait(lock, [&] { return done_ >= ticket || stop_; });
  return done_ >= ticket && last_ok_;
}

void Housekeeper::collect_soon() {
  std::lock_guard<std::mutex> lock(mu_);
  collect_ = true;
  wake_.notify_all();
}

void Housekeeper::run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    wake_.wait_for(lock, interval_, [&] { return stop_ || asked_ > done_ || collect_; });
    const bool stopping = stop_;
    const bool collect = collect_ && !stopping;
    collect_ = false;
    // Every caller waiting now is served by this sync.
    const std::uint64_t serving = asked_;
    lock.unlock();
    const bool ok = sync();
    if (collect) {
      try {
        tasks_.collect();
      } catch (const std::exception& e) {
        log_error("store collection failed: %s", e.what());
      }
    }
    lock.lock();
    done_ = serving;
    last_ok_ = ok;
    synced_.notify_all();
    if (stopping) return;
  }
}
