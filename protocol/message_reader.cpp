#include "protocol/message_reader.h"

namespace {

// Whether the socket holds bytes that a recv would return at once.
bool bytes_waiting(SOCKET sock) {
  u_long count = 0;
  return win32::ioctlsocket(sock, FIONREAD, &count) == 0 && count > 0;
}

}  // namespace

CMessageReader::Status CMessageReader::read(SOCKET sock, void (*before_receive)(void*),
                                            void* context) {
  // A message already complete in the bytes held needs no receive. The
  // fallback rule is kept for freshly received bytes only.
  if (framer_.next(true) == CMessageFramer::kMessage) return kMessage;
  for (;;) {
    if (before_receive) before_receive(context);
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
        !bytes_waiting(sock)) {
      status = framer_.next(false);
    }
    if (status == CMessageFramer::kMessage) return kMessage;
    if (status == CMessageFramer::kTooLarge) return kTooLarge;
  }
}
