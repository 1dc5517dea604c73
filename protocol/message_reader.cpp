#include "protocol/message_reader.h"

namespace {

// Whether the socket holds bytes that a recv would return at once.
bool bytes_waiting(SOCKET sock) {
  u_long count = 0;
  return win32::ioctlsocket(sock, FIONREAD, &count) == 0 && count > 0;
}

// Whether the socket turns readable (bytes, or the peer's close) within the
// grace time. poll, unlike select, has no limit on the descriptor's number.
bool readable_within_grace(SOCKET sock) {
  WSAPOLLFD entry = {};
  entry.fd = sock;
  entry.events = POLLRDNORM;
  return win32::WSAPoll(&entry, 1, CMessageReader::kGraceMilliseconds) > 0;
}

}  // namespace

CMessageReader::Status CMessageReader::read(SOCKET sock, void (*before_receive)(void*, bool),
                                            void* context) {
  // A message that a head already cut from the bytes held needs no receive.
  if (framer_.next(CMessageFramer::kMoreWaiting) == CMessageFramer::kMessage) return kMessage;
  // A receive that did not fill the buffer emptied the socket: nothing was
  // waiting then, which spares asking the socket again.
  bool drained = false;
  for (;;) {
    bool waiting = !drained && bytes_waiting(sock);
    if (!waiting && framer_.pending() > 0) {
      // Nothing more yet: a closed message ends here; an open one is given
      // the grace time to go on, and is taken as it is when nothing comes.
      if (framer_.next(CMessageFramer::kNothingWaiting) == CMessageFramer::kMessage) {
        return kMessage;
      }
      if (!readable_within_grace(sock)) {
        framer_.next(CMessageFramer::kWaitedInVain);
        return kMessage;
      }
      waiting = true;  // bytes, or the service's close
    }
    if (before_receive) before_receive(context, !waiting);
    const int got = win32::recv(sock, buffer_, kReceiveBytes, 0);
    if (got == 0) {
      // Closed: bytes that end outside any tag are a message as they are
      // (the next read finds the close); bytes cut inside a tag are dropped.
      if (framer_.pending() > 0 && framer_.ends_outside_tag()) {
        framer_.next(CMessageFramer::kWaitedInVain);
        return kMessage;
      }
      framer_.reset();
      return kClosed;
    }
    if (got < 0) {
      error_ = win32::WSAGetLastError();
      if (error_ == 0) error_ = -1;
      return kFailed;
    }
    last_receive_ = static_cast<std::size_t>(got);
    drained = got < kReceiveBytes;
    framer_.append(buffer_, static_cast<std::size_t>(got));
    const CMessageFramer::Status status = framer_.next(CMessageFramer::kMoreWaiting);
    if (status == CMessageFramer::kMessage) return kMessage;
    if (status == CMessageFramer::kTooLarge) return kTooLarge;
  }
}

std::size_t CMessageReader::drop_stale(SOCKET sock, bool* writable) {
  std::size_t dropped = framer_.pending();
  framer_.reset();
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
