// The listener on 127.0.0.1 and its accept loop: one thread per client
// connection, counted in the context's ConnectionTable (pending and
// logged-in connections have caps of their own; see connection_table.h).
// When the process runs out of descriptors, a spare one lets the loop take
// each waiting connection and close it at once instead of spinning on a
// listener that stays readable; such events are logged at most once every
// few seconds. On a stop request the listener is closed and every session
// is waited for: idle sessions end at once, busy ones after their current
// request (a transfer aborts and cleans up). A session still blocked in a
// send after kStopGrace has its socket shut down.
#ifndef BREVANTO_SERVICE_NET_SERVER_H_
#define BREVANTO_SERVICE_NET_SERVER_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "service/log.h"
#include "service/service_context.h"
#include "service/unique_fd.h"

class Server {
 public:
  static constexpr std::chrono::seconds kStopGrace{2};

  // `context.connections` must be set.
  explicit Server(ServiceContext& context) : context_(context) {}
  ~Server();

  // Binds 127.0.0.1:`port` (0: any free port) and listens. Returns the
  // bound port; throws std::runtime_error.
  std::uint16_t listen(std::uint16_t port);

  // Accepts connections until a stop is requested, then waits for every
  // session to end.
  void run();

 private:
  struct Worker {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  // A line about connections refused or closed in bulk: written at once,
  // then at most once per kQuietLogInterval with the count of the events
  // held back meanwhile.
  class QuietLog {
   public:
    explicit QuietLog(LogLevel level) : level_(level) {}
    void note(const char* what);

   private:
    LogLevel level_;
    std::chrono::steady_clock::time_point last_{};
    unsigned long held_ = 0;
  };
  static constexpr std::chrono::seconds kQuietLogInterval{5};

  void start_session(int sock, const char* peer);
  // accept() failed with `err`: sheds the waiting connection when the
  // failure is a lack of descriptors, and pauses briefly if it cannot.
  void handle_accept_failure(int err);
  // Joins the workers that have finished.
  void reap();
  // Waits for every session, cutting off those that outlast the grace time.
  void drain();

  ServiceContext& context_;
  UniqueFd listener_;
  UniqueFd spare_;  // kept open to be given up when descriptors run out
  QuietLog shed_log_{LogLevel::kError};
  QuietLog refused_log_{LogLevel::kWarn};
  QuietLog evicted_log_{LogLevel::kWarn};
  std::list<std::unique_ptr<Worker>> workers_;
  int next_id_ = 1;
};

// Raises the process's soft limit of open descriptors to its hard limit,
// so that the caps need not be lowered for a limit that could be higher;
// returns the limit now in force.
std::size_t raise_descriptor_limit();

// How many descriptors the process has open.
std::size_t open_descriptors();

#endif  // BREVANTO_SERVICE_NET_SERVER_H_
