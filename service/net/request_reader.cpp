#include "service/net/request_reader.h"

#include <poll.h>
#include <sodium.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

bool RequestReader::bytes_waiting() const {
  int count = 0;
  return ::ioctl(sock_, FIONREAD, &count) == 0 && count > 0;
}

namespace {

// Milliseconds until `deadline` for poll(), -1 for no deadline.
int poll_timeout(std::chrono::steady_clock::time_point deadline) {
  if (deadline == std::chrono::steady_clock::time_point{}) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count() + 1, 1 << 30));
}

}  // namespace

void RequestReader::wipe() {
  // The message lies in the framer's buffer, which the framer owns but does
  // not treat as constant; the bytes are spent once the request is parsed.
  if (framer_.message() != nullptr) {
    sodium_memzero(const_cast<char*>(framer_.message()), framer_.message_size());
  }
  sodium_memzero(buffer_, sizeof(buffer_));
}

RequestReader::Status RequestReader::read(std::chrono::steady_clock::time_point deadline) {
  // A request may already be complete in the bytes held (pipelining).
  if (framer_.pending() > 0 &&
      framer_.next(bytes_waiting() ? CMessageFramer::kMoreWaiting
                                   : CMessageFramer::kReceiveEnded) == CMessageFramer::kMessage) {
    return kRequest;
  }
  for (;;) {
    pollfd fds[2] = {{sock_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    const int ready = ::poll(fds, stop_fd_ >= 0 ? 2 : 1, poll_timeout(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return kFailed;
    }
    if (ready == 0) return kTimedOut;
    if (stop_fd_ >= 0 && (fds[1].revents & POLLIN)) return kStopped;
    const ssize_t got = ::recv(sock_, buffer_, sizeof(buffer_), 0);
    if (got == 0) return kClosed;
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return kFailed;
    }
    framer_.append(buffer_, static_cast<std::size_t>(got));
    // Only when the socket holds nothing more may a request end without a
    // next one; one left open (no "/>" or end tag) ends after its last '>'.
    CMessageFramer::Status status = framer_.next(CMessageFramer::kMoreWaiting);
    if (status == CMessageFramer::kNeedMore && !bytes_waiting()) {
      status = framer_.next(CMessageFramer::kReceiveEnded);
      if (status == CMessageFramer::kNeedMore && !framer_.ends_inside_markup()) {
        status = framer_.next(CMessageFramer::kWaitedInVain);
      }
    }
    if (status == CMessageFramer::kMessage) return kRequest;
    if (status == CMessageFramer::kTooLarge) return kTooLarge;
  }
}
