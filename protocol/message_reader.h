// Reads reply messages from a connected socket: the bytes of one receive
// are one message (see message_bounds.h for the two cases that read on).
#ifndef BREVANTO_PROTOCOL_MESSAGE_READER_H_
#define BREVANTO_PROTOCOL_MESSAGE_READER_H_

#include <cstddef>
#include <string>

#include "platform/win32.h"

class CMessageReader {
 public:
  // One receive reads at most this many bytes, as the service sends them.
  static constexpr int kReceiveBytes = 4096;

  enum Status {
    kMessage,   // text() holds the message
    kClosed,    // the service closed the connection before any byte came
    kFailed,    // recv failed; error() holds the Winsock code
    kTooLarge,  // a message passed message_bounds::kMaxMessageBytes
  };

  // Reads the next message. `before_receive(context, may_block)` runs
  // before every recv call (the trace log's "recv()" line); `may_block` is
  // false when the socket already holds bytes to return.
  Status read(SOCKET sock, void (*before_receive)(void*, bool), void* context);

  // Whether nothing arrives on the socket (no byte, no close) within
  // `milliseconds`.
  static bool quiet_for(SOCKET sock, int milliseconds);

  // Drops the bytes already waiting on the socket, without blocking;
  // returns how many. The service sends nothing unasked, so before a new
  // request such bytes belong to no reply. `writable`, when given, tells
  // whether the socket can take a send at once.
  std::size_t drop_stale(SOCKET sock, bool* writable = nullptr);

  // The message of the last read that returned kMessage, NUL-terminated.
  const char* text() const { return message_.c_str(); }
  std::size_t size() const { return message_.size(); }

  // The Winsock code of the failed receive; never 0.
  int error() const { return error_; }

  // Forgets the last message (a new connection starts clean).
  void reset() { message_.clear(); }

 private:
  std::string message_;
  int error_ = 0;
  char buffer_[kReceiveBytes];
};

#endif  // BREVANTO_PROTOCOL_MESSAGE_READER_H_
