// Every byte a session sends goes through its ReplySender, one message per
// send(), and a client that reads one receive as one message gets each
// message of a reply in a receive of its own: the next message of the same
// reply (listing messages, progress reports, the final reply or an error
// reply after reports) goes out only once the client has taken everything
// sent before out of its socket. The first message of a reply goes out at
// once, so single-message replies, most of them, never look.
//
// Whether the client has read it all is asked of the kernel (peer_queue.h):
// its socket must have received every byte sent and hold none unread. While
// bytes wait unread, a look at the unread count alone tells so cheaply;
// then a look that also counts the bytes received confirms. A client that
// reads along takes a message within microseconds, so a wait first looks
// again and again for up to 100 µs, yielding the CPU between looks, then
// sleeps between looks, longer each time up to 1 ms. Where the kernel does
// not tell, messages go out without waiting.
#ifndef BREVANTO_SERVICE_NET_REPLY_SENDER_H_
#define BREVANTO_SERVICE_NET_REPLY_SENDER_H_

#include <cstdint>
#include <string>

#include "service/net/peer_queue.h"

class ReplySender {
 public:
  explicit ReplySender(int sock) : sock_(sock), peer_(sock) {}

  int sock() const { return sock_; }

  // What is sent next answers a new request: its first message goes out
  // at once, unless the client sent the request before it had read the
  // last reply (`after_unread`): then it waits for that, as every later
  // message does, so replies never meet in the client's socket either.
  void start_reply(bool after_unread = false) {
    message_out_ = false;
    wait_first_ = after_unread;
  }

  // Whether a message of the current reply is out.
  bool message_out() const { return message_out_; }

  // Sends one message with one send(), after waiting for the client to
  // read the one before when this is not the reply's first. Throws
  // ClientGone when the client closes, reads nothing for kSendTimeout, or
  // the service stops during the wait.
  void send(const std::string& message);

  // True when the client has read every byte sent so far, or the kernel
  // does not tell; never blocks. Throws ClientGone when the client's socket
  // is gone.
  bool client_has_read();

 private:
  void wait_for_client();

  int sock_;
  PeerQueue peer_;
  std::uint64_t sent_ = 0;     // bytes sent on the connection so far
  std::uint64_t arrived_ = 0;  // a finished look saw this many received
  std::uint64_t read_ = 0;     // and a later one saw them all read
  bool message_out_ = false;
  bool wait_first_ = false;  // the reply's first message waits too
};

#endif  // BREVANTO_SERVICE_NET_REPLY_SENDER_H_
