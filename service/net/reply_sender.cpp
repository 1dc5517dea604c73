#include "service/net/reply_sender.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <chrono>

#include "service/net/socket_io.h"
#include "service/net/stop_signal.h"

namespace {

// A client that reads along takes a message within microseconds, and a
// sleep costs more than it asks for (timer slack, waking up): a wait looks
// again and again, yielding the CPU between looks, for this long before
// its first sleep.
constexpr std::chrono::microseconds kSpinTime{100};
constexpr std::chrono::microseconds kFirstPause{50};
constexpr std::chrono::microseconds kLongestPause{1000};

// Whether the peer has acknowledged every byte sent on `sock`.
bool all_acknowledged(int sock) {
  int unacknowledged = -1;
  return ::ioctl(sock, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0;
}

}  // namespace

void ReplySender::send(const std::string& message) {
  if (message_out_ || wait_first_) wait_for_client();
  wait_first_ = false;
  send_message(sock_, message);
  sent_ += message.size();
  message_out_ = true;
}

bool ReplySender::client_has_read() {
  if (read_ == sent_) return true;
  // The cheap look first: while the client has not read, it says so without
  // the client socket's lock (a look that meets the client inside a
  // receive sleeps until the receive returns).
  const PeerQueue::Sample waiting = peer_.unread();
  if (waiting.state == PeerQueue::State::kUnknown) return true;
  if (waiting.state == PeerQueue::State::kGone) throw ClientGone("client connection gone");
  if (waiting.unread != 0) return false;
  // Nothing waits unread, but the last bytes may not have reached the
  // socket yet: the unread count is taken before the kernel takes the
  // client socket's lock and the received count after it, so a message
  // held back while the client was inside a receive counts as received
  // and not as unread in the same answer. So the bytes must have been seen
  // received before a look that finds none unread: by an earlier look, or
  // by the client's acknowledgement of every byte (TCP acknowledges only
  // bytes its socket has taken in). That look answers only after a receive
  // the client was in has returned, so the next message cannot join the
  // last one in that receive.
  if (arrived_ != sent_ && all_acknowledged(sock_)) arrived_ = sent_;
  for (;;) {
    const PeerQueue::Sample seen = peer_.counts();
    if (seen.state == PeerQueue::State::kUnknown) return true;
    if (seen.state == PeerQueue::State::kGone) throw ClientGone("client connection gone");
    if (seen.received < sent_) return false;
    const bool arrived_before = arrived_ == sent_;
    arrived_ = sent_;
    if (seen.unread != 0) return false;
    if (arrived_before) {
      read_ = sent_;
      return true;
    }
  }
}

void ReplySender::wait_for_client() {
  const auto start = std::chrono::steady_clock::now();
  do {
    if (client_has_read()) return;
    ::sched_yield();
  } while (std::chrono::steady_clock::now() - start < kSpinTime);
  const auto deadline = start + kSendTimeout;
  std::chrono::microseconds pause = kFirstPause;
  for (;;) {
    if (client_has_read()) return;
    if (peer_closed(sock_)) throw ClientGone("client closed the connection");
    if (stop_requested()) throw ClientGone("service stopping");
    if (std::chrono::steady_clock::now() >= deadline) {
      throw ClientGone("client left a reply message unread past the send time-out");
    }
    // Wakes early when the client hangs up or the service stops.
    pollfd fds[2] = {{sock_, POLLRDHUP, 0}, {stop_fd(), POLLIN, 0}};
    const timespec wait = {0, static_cast<long>(pause.count()) * 1000};
    ::ppoll(fds, stop_fd() >= 0 ? 2 : 1, &wait, nullptr);
    pause = std::min(pause * 2, kLongestPause);
  }
}
