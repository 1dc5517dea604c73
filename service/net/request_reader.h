// Reads request messages from one client connection. A host sends each
// request in one send and waits for its reply, so the bytes of one receive
// are one request, whatever their quotes; see protocol/message_bounds.h for
// the cases that read on (a long request, a request cut inside a tag) and
// for requests joined in one receive by a client that does not wait.
#ifndef BREVANTO_SERVICE_NET_REQUEST_READER_H_
#define BREVANTO_SERVICE_NET_REQUEST_READER_H_

#include <chrono>
#include <cstddef>
#include <string>

class RequestReader {
 public:
  enum Status {
    kRequest,   // text() holds the next request
    kClosed,    // the client closed the connection
    kStopped,   // the service is stopping
    kTooLarge,  // a request passed the size bound
    kFailed,    // recv failed
    kTimedOut,  // no request within the time given
  };

  // Reads from `sock`; gives up waiting when `stop_fd` becomes readable.
  RequestReader(int sock, int stop_fd) : sock_(sock), stop_fd_(stop_fd) {}
  ~RequestReader() { wipe_all(); }
  RequestReader(const RequestReader&) = delete;
  RequestReader& operator=(const RequestReader&) = delete;

  // Waits at most until `deadline` for the next request; a default
  // (epoch) deadline waits without limit.
  Status read(std::chrono::steady_clock::time_point deadline = {});

  // Overwrites the bytes of the last request and of the receive buffer,
  // e.g. once a password in it has been used.
  void wipe();

  // The request of the last read() that returned kRequest, NUL-terminated;
  // valid until the next read().
  const char* text() const { return request_.c_str(); }
  // Whether that request came joined to the one before in one receive:
  // the client sent it before it read the reply to the one before.
  bool joined() const { return joined_; }
  std::size_t size() const { return request_.size(); }

 private:
  // Waits until the socket is readable; kRequest when it is.
  Status wait_readable(int timeout_ms);
  // Receives once and appends to held_; kRequest when bytes came (and
  // filled_ tells whether they filled the buffer).
  Status receive();
  bool bytes_waiting() const;
  // Moves the first request of held_ into request_.
  void take_first();
  void wipe_all();

  int sock_;
  int stop_fd_;
  std::string held_;     // bytes received and not yet handed out
  std::string request_;  // the request handed out
  bool joined_ = false;
  bool filled_ = false;
  char buffer_[16384];
};

#endif  // BREVANTO_SERVICE_NET_REQUEST_READER_H_
