// What the client's socket of a connection on this machine has done with
// the bytes this end sent, as the kernel tells it through sock_diag
// (inet_diag): how many still wait in it, not yet read by the client, and
// with the TCP information also how many it has received in all.
//
// To fill in the TCP information the kernel takes the client socket's
// lock, so that answer comes only once a receive the client is in the
// middle of has returned (and the looking thread sleeps until then). The
// unread count alone takes no lock and never waits for the client. The
// netlink socket is opened at the first look and kept; most connections
// never look.
#ifndef BREVANTO_SERVICE_NET_PEER_QUEUE_H_
#define BREVANTO_SERVICE_NET_PEER_QUEUE_H_

#include <cstdint>

#include "service/unique_fd.h"

class PeerQueue {
 public:
  enum class State {
    kKnown,    // `received` and `unread` hold the kernel's answer
    kGone,     // the client's socket is closed or no longer there
    kUnknown,  // the kernel does not tell (no inet_diag, not TCP over IPv4)
  };
  struct Sample {
    State state = State::kUnknown;
    std::uint64_t received = 0;  // bytes the client's socket received in all
    std::uint32_t unread = 0;    // of those, bytes the client has not read
  };

  // `sock` is this end of the connection; nothing is opened yet.
  explicit PeerQueue(int sock) : sock_(sock) {}

  // Each asks the kernel once, opening the netlink socket if it is not
  // open yet. unread() leaves `received` at 0 and never waits for the
  // client; counts() fills in both, after any receive the client is in.
  Sample unread() { return ask(false); }
  Sample counts() { return ask(true); }

 private:
  Sample ask(bool with_received);
  // Learns the connection's addresses and opens the netlink socket; false
  // when that cannot be done now.
  bool open();

  int sock_;
  UniqueFd netlink_;
  bool unsupported_ = false;  // not TCP over IPv4, or the kernel refused
  // The connection's ends in network byte order, and the client socket's
  // cookie once known, so that later answers are about the same socket.
  std::uint32_t client_address_ = 0;
  std::uint32_t service_address_ = 0;
  std::uint16_t client_port_ = 0;
  std::uint16_t service_port_ = 0;
  std::uint32_t cookie_[2] = {0, 0};
  bool cookie_known_ = false;
  std::uint32_t sequence_ = 0;  // of the last look, which its answer repeats
};

#endif  // BREVANTO_SERVICE_NET_PEER_QUEUE_H_
