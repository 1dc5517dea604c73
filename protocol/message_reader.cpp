#include "protocol/message_reader.h"

namespace {

// How long a message that could end where the bytes end waits for more
// before it is taken as it is. A sender held back by a full socket buffer
// may stop in the middle of a message for a moment; well-formed messages
// complete by their own end and never wait.
constexpr long kGraceMicroseconds = 50000;

// Whether the socket holds bytes that a recv would return at once.
bool bytes_waiting(SOCKET sock) {
  u_long count = 0;
  return win32::ioctlsocket(sock, FIONREAD, &count) == 0 && count > 0;
}

// Whether more bytes arrive within the grace time. A socket that turns
// readable with nothing to read has been closed by the peer: no more bytes.
bool more_bytes_coming(SOCKET sock) {
  if (bytes_waiting(sock)) return true;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(sock, &readable);
  timeval grace = {0, kGraceMicroseconds};
  if (win32::select(static_cast<int>(sock) + 1, &readable, nullptr, nullptr, &grace) <= 0) {
    return false;
  }
  return bytes_waiting(sock);
}

}  // namespace

CMessageReader::Status CMessageReader::read(SOCKET sock, void (*before_receive)(void*, bool),
                                            void* context) {
  // A message already complete in the bytes held needs no receive. The
  // fallback rule is kept for freshly received bytes only.
  if (framer_.next(true) == CMessageFramer::kMessage) return kMessage;
  for (;;) {
    if (before_receive) before_receive(context, !bytes_waiting(sock));
    const int got = win32::recv(sock, buffer_, kReceiveBytes, 0);
    if (got == 0) {
      framer_.reset();
      return kClosed;
    }
    if (got < 0) {
      error_ = win32::WSAGetLastError();
      if (error_ == 0) error_ = -1;
      return kFailed;
    }
    framer_.append(buffer_, static_cast<std::size_t>(got));
    // Ask the socket whether more is waiting only when the fallback could end
    // the message; a complete message needs no extra call.
    CMessageFramer::Status status = framer_.next(true);
    if (status == CMessageFramer::kNeedMore && framer_.could_end_without_more() &&
        !more_bytes_coming(sock)) {
      status = framer_.next(false);
    }
    if (status == CMessageFramer::kMessage) return kMessage;
    if (status == CMessageFramer::kTooLarge) return kTooLarge;
  }
}
