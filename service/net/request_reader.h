// Reads whole request messages from one client connection. Requests carry
// no delimiter, so a CMessageFramer cuts the byte stream: a self-closing
// first tag, or a first tag up to its end tag, is one request, and the next
// start tag begins the next one.
#ifndef BREVANTO_SERVICE_NET_REQUEST_READER_H_
#define BREVANTO_SERVICE_NET_REQUEST_READER_H_

#include <chrono>
#include <cstddef>

#include "protocol/message_framer.h"

class RequestReader {
 public:
  enum Status {
    kRequest,   // text() holds the next request
    kClosed,    // the client closed the connection
    kStopped,   // the service is stopping
    kTooLarge,  // a request passed the framer's bound without completing
    kFailed,    // recv failed
    kTimedOut,  // no complete request within the time given
  };

  // Reads from `sock`; gives up waiting when `stop_fd` becomes readable.
  RequestReader(int sock, int stop_fd) : sock_(sock), stop_fd_(stop_fd) {}

  // Waits at most until `deadline` for the next request; a default
  // (epoch) deadline waits without limit.
  Status read(std::chrono::steady_clock::time_point deadline = {});

  // Overwrites the bytes of the last request, in the framer and in the
  // receive buffer, e.g. once a password in it has been used.
  void wipe();

  // The request of the last read() that returned kRequest, NUL-terminated;
  // valid until the next read().
  const char* text() const { return framer_.message(); }
  std::size_t size() const { return framer_.message_size(); }

 private:
  bool bytes_waiting() const;

  int sock_;
  int stop_fd_;
  CMessageFramer framer_{CMessageFramer::kRequestHeads};
  char buffer_[4096];
};

#endif  // BREVANTO_SERVICE_NET_REQUEST_READER_H_
