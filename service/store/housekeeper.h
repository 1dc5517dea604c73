// The store's background thread. It makes committed changes durable within
// a second (or at once for a caller that waits, such as a logout), and
// after points are made it collects what the retention no longer keeps.
#ifndef BREVANTO_SERVICE_STORE_HOUSEKEEPER_H_
#define BREVANTO_SERVICE_STORE_HOUSEKEEPER_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

class Housekeeper {
 public:
  struct Tasks {
    std::function<void()> sync;     // makes every commit so far durable
    std::function<void()> collect;  // retention and garbage collection
  };
  Housekeeper(Tasks tasks, std::chrono::milliseconds sync_interval);
  // Stops the thread after a last sync.
  ~Housekeeper();
  Housekeeper(const Housekeeper&) = delete;
  Housekeeper& operator=(const Housekeeper&) = delete;

  // Returns once a sync that began after the call has run. False when it
  // failed (it is logged).
  bool sync_now();
  // Asks for a collection soon.
  void collect_soon();

 private:
  void run();
  bool sync();

  Tasks tasks_;
  std::chrono::milliseconds interval_;
  std::mutex mu_;
  std::condition_variable wake_;
  std::condition_variable synced_;
  std::uint64_t asked_ = 0;   // syncs asked for
  std::uint64_t done_ = 0;    // syncs begun, then run, up to this number
  bool last_ok_ = true;
  bool collect_ = false;
  bool stop_ = false;
  std::thread thread_;
};

#endif  // BREVANTO_SERVICE_STORE_HOUSEKEEPER_H_
