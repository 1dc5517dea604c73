// Reads whole reply messages from a connected socket through a
// CMessageFramer. Bytes after a message stay in the reader for the next read,
// as unread bytes would stay in the socket.
#ifndef BREVANTO_PROTOCOL_MESSAGE_READER_H_
#define BREVANTO_PROTOCOL_MESSAGE_READER_H_

#include <cstddef>

#include "platform/win32.h"
#include "protocol/message_framer.h"

class CMessageReader {
 public:
  // One receive reads at most this many bytes, as the service sends them.
  static constexpr int kReceiveBytes = 4096;
  // How long a final message left open, or bytes without a head, wait for
  // more before they are taken as they are (see message_framer.h). A
  // message cut inside a tag waits for its rest without limit.
  static constexpr int kGraceMilliseconds = 50;

  enum Status {
    kMessage,   // text() holds the message
    kClosed,    // the service closed the connection; partial bytes dropped
    kFailed,    // recv failed; error() holds the Winsock code
    kTooLarge,  // a message passed the framer's bound without completing
  };

  // Reads the next message, receiving as needed. `before_receive(context,
  // may_block)` runs before every recv call (the trace log's "recv()" line);
  // `may_block` is false when the socket already holds bytes to return.
  Status read(SOCKET sock, void (*before_receive)(void*, bool), void* context);

  // Drops the bytes held and those already waiting on the socket, without
  // blocking; returns how many. The service sends nothing unasked, so before
  // a new request such bytes belong to no reply. `writable`, when given,
  // tells whether the socket can take a send at once.
  std::size_t drop_stale(SOCKET sock, bool* writable = nullptr);

  // The message of the last read that returned kMessage, NUL-terminated.
  const char* text() const { return framer_.message(); }
  std::size_t size() const { return framer_.message_size(); }
  // The byte count of the last receive that delivered bytes.
  std::size_t last_receive() const { return last_receive_; }

  // The Winsock code of the failed receive; never 0.
  int error() const { return error_; }

  // Forgets every byte held (a new connection starts clean).
  void reset() {
    framer_.reset();
    held_end_ = CMessageFramer::kReceiveEnded;
  }

 private:
  CMessageFramer framer_;
  // Where the bytes held end: where a receive ended, or inside a stream
  // that goes on at once (the receive filled its buffer, more was waiting).
  CMessageFramer::Transport held_end_ = CMessageFramer::kReceiveEnded;
  int error_ = 0;
  std::size_t last_receive_ = 0;
  char buffer_[kReceiveBytes];
};

#endif  // BREVANTO_PROTOCOL_MESSAGE_READER_H_
