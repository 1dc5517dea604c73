// The listener on 127.0.0.1 and its accept loop: one thread per client
// connection, at most kMaxConnections at a time (a connection beyond that
// is closed at once, with a log line). On a stop request the listener is
// closed and every session is waited for: idle sessions end at once, busy
// ones after their current request (a transfer aborts and cleans up). A
// session still blocked in a send after kStopGrace has its socket shut down.
#ifndef BREVANTO_SERVICE_SERVER_H_
#define BREVANTO_SERVICE_SERVER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "service/service_context.h"
#include "service/unique_fd.h"

class Server {
 public:
  static constexpr int kMaxConnections = 64;
  static constexpr std::chrono::seconds kStopGrace{2};

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
    std::mutex mu;  // guards sock against close() during shutdown()
    int sock = -1;  // -1 once the session has closed it
  };

  void start_session(int sock, const char* peer);
  // Joins the workers that have finished.
  void reap();
  // Waits for every session, cutting off those that outlast the grace time.
  void drain();

  ServiceContext& context_;
  UniqueFd listener_;
  std::list<std::unique_ptr<Worker>> workers_;
  int next_id_ = 1;
};

#endif  // BREVANTO_SERVICE_SERVER_H_
