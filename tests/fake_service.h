// A scripted stand-in for the local service: listens on 127.0.0.1, records
// the bytes of every request and answers each one with scripted replies.
#ifndef BREVANTO_TESTS_FAKE_SERVICE_H_
#define BREVANTO_TESTS_FAKE_SERVICE_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"

class FakeService {
 public:
  // What the service does with one request.
  struct Step {
    std::vector<std::string> replies;  // each sent with one send
    bool close_after = false;          // then close the connection
    bool reset_after = false;          // then reset it (RST, not FIN)
  };

  explicit FakeService(std::uint16_t port = 11001);
  ~FakeService();  // stops and closes every socket

  // Scripts the answer to the next unscripted request. Requests beyond the
  // script are answered with a plain success reply, so no client waits.
  void then(std::vector<std::string> replies, bool close_after = false);
  void then_close() { then({}, true); }
  void then_reset(std::vector<std::string> replies = {});

  // Pause between two replies of one step, so each arrives on its own.
  void set_reply_gap_ms(int ms) { gap_ms_ = ms; }
  // Reads nothing for `ms` before its next receive (once), so that a long
  // request fills the socket's small buffers and the client's send blocks.
  void stall_next_read_ms(int ms) { stall_ms_ = ms; }
  // Runs before each reply of a step is sent, with the reply's index; a
  // test can hold a reply back until the client waits for it.
  void set_pacing(std::function<void(std::size_t)> pacing);

  std::vector<std::string> requests() const;
  int connections() const;

 private:
  void run();
  void serve(SOCKET client);
  Step next_step();

  std::uint16_t port_;
  SOCKET listener_ = INVALID_SOCKET;
  std::thread thread_;
  mutable std::mutex mu_;
  std::deque<Step> script_;
  std::vector<std::string> requests_;
  SOCKET client_ = INVALID_SOCKET;
  int connections_ = 0;
  int gap_ms_ = 15;
  std::atomic<int> stall_ms_{0};
  std::function<void(std::size_t)> pacing_;
  bool stopping_ = false;
};

#endif  // BREVANTO_TESTS_FAKE_SERVICE_H_
