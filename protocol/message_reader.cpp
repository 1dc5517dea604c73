#include "protocol/message_reader.h"

#include <chrono>

#include "protocol/message_bounds.h"

namespace {

// Whether the socket holds bytes that a recv would return at once.
bool bytes_waiting(SOCKET sock) {
  u_long count = 0;
  return win32::ioctlsocket(sock, FIONREAD, &count) == 0 && count > 0;
}

// Whether the socket turns readable (bytes, or the peer's close) within
// `milliseconds`. poll, unlike select, has no limit on the descriptor's
// number.
bool readable_within(SOCKET sock, int milliseconds) {
  WSAPOLLFD entry = {};
  entry.fd = sock;
  entry.events = POLLRDNORM;
  return win32::WSAPoll(&entry, 1, milliseconds) > 0;
}

}  // namespace

bool CMessageReader::quiet_for(SOCKET sock, int milliseconds) {
  return !readable_within(sock, milliseconds);
}

CMessageReader::Status CMessageReader::read(SOCKET sock, void (*before_receive)(void*, bool),
                                            void* context) {
  message_.clear();
  using Clock = std::chrono::steady_clock;
  Clock::time_point split_deadline{};  // set once a receive ends inside a tag
  bool may_block = true;
  for (;;) {
    if (before_receive) before_receive(context, may_block && !bytes_waiting(sock));
    const int got = win32::recv(sock, buffer_, kReceiveBytes, 0);
    if (got == 0) {
      // Closed. Bytes held here were cut inside a tag: a message the close
      // cut short, which is no reply.
      message_.clear();
      return kClosed;
    }
    if (got < 0) {
      error_ = win32::WSAGetLastError();
      if (error_ == 0) error_ = -1;
      return kFailed;
    }
    message_.append(buffer_, static_cast<std::size_t>(got));
    if (message_.size() > message_bounds::kMaxMessageBytes) {
      message_.clear();
      return kTooLarge;
    }
    // A receive that filled its buffer with more waiting: a long message.
    if (got == kReceiveBytes && bytes_waiting(sock)) {
      may_block = false;
      continue;
    }
    if (!message_bounds::ends_inside_tag(message_)) return kMessage;
    // Cut inside a tag: its rest is awaited briefly, then the bytes are
    // read as they came.
    const Clock::time_point now = Clock::now();
    if (split_deadline == Clock::time_point{}) {
      split_deadline = now + std::chrono::milliseconds(message_bounds::kSplitWaitMilliseconds);
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(split_deadline - now).count();
    if (left <= 0 || !readable_within(sock, static_cast<int>(left))) return kMessage;
    may_block = false;
  }
}

std::size_t CMessageReader::drop_stale(SOCKET sock, bool* writable) {
  std::size_t dropped = 0;
  message_.clear();
  // One look at the socket answers both questions: whether bytes wait there
  // (or the service closed it), and whether a send can go out now.
  WSAPOLLFD entry = {};
  entry.fd = sock;
  entry.events = POLLRDNORM | POLLWRNORM;
  const bool ready = sock != INVALID_SOCKET && win32::WSAPoll(&entry, 1, 0) > 0;
  if (writable) *writable = ready && (entry.revents & POLLWRNORM) != 0;
  if (!ready || (entry.revents & POLLRDNORM) == 0) return dropped;
  while (bytes_waiting(sock)) {
    const int got = win32::recv(sock, buffer_, kReceiveBytes, 0);
    if (got <= 0) break;
    dropped += static_cast<std::size_t>(got);
  }
  return dropped;
}
