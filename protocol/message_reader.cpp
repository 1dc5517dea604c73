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
  for (;;) {
    // A message may already be complete in the bytes held: cut from them
    // where the next message begins, or ended where the last receive ended.
    const CMessageFramer::Status status = framer_.next(held_end_);
    if (status == CMessageFramer::kMessage) return kMessage;
    if (status == CMessageFramer::kTooLarge) return kTooLarge;
    // After a receive that ended the bytes waiting, the next one may block
    // unless more came meanwhile (a stream of messages usually has).
    bool may_block = held_end_ == CMessageFramer::kReceiveEnded;
    if (may_block && framer_.wants_grace()) {
      // An open final message, or bytes without a head, may go on: they get
      // the grace time, and are taken as they are when nothing comes.
      if (!readable_within_grace(sock)) {
        framer_.next(CMessageFramer::kWaitedInVain);
        return kMessage;
      }
      may_block = false;
    }
    if (may_block && before_receive) may_block = !bytes_waiting(sock);
    if (before_receive) before_receive(context, may_block);
    const int got = win32::recv(sock, buffer_, kReceiveBytes, 0);
    if (got == 0) {
      // Closed: bytes that end outside any tag are a message as they are
      // (the next read finds the close); bytes cut inside a tag are dropped.
      if (framer_.pending() > 0 && !framer_.ends_inside_markup()) {
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
    framer_.append(buffer_, static_cast<std::size_t>(got));
    // A receive that filled its buffer may have left more in the socket:
    // then the bytes go on, and only the next message's head ends one.
    held_end_ = got == kReceiveBytes && bytes_waiting(sock) ? CMessageFramer::kMoreWaiting
                                                            : CMessageFramer::kReceiveEnded;
  }
}

std::size_t CMessageReader::drop_stale(SOCKET sock, bool* writable) {
  std::size_t dropped = framer_.pending();
  reset();
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
