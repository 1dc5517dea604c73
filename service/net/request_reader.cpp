#include "service/net/request_reader.h"

#include <poll.h>
#include <sodium.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "protocol/message_bounds.h"

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds until `deadline` for poll(), -1 for no deadline.
int poll_timeout(Clock::time_point deadline) {
  if (deadline == Clock::time_point{}) return -1;
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count() + 1, 1 << 30));
}

void wipe_string(std::string& s) {
  if (!s.empty()) sodium_memzero(s.data(), s.size());
  s.clear();
}

}  // namespace

bool RequestReader::bytes_waiting() const {
  int count = 0;
  return ::ioctl(sock_, FIONREAD, &count) == 0 && count > 0;
}

void RequestReader::wipe() {
  wipe_string(request_);
  sodium_memzero(buffer_, sizeof(buffer_));
}

void RequestReader::wipe_all() {
  wipe();
  wipe_string(held_);
}

RequestReader::Status RequestReader::wait_readable(int timeout_ms) {
  for (;;) {
    pollfd fds[2] = {{sock_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    const int ready = ::poll(fds, stop_fd_ >= 0 ? 2 : 1, timeout_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return kFailed;
    }
    if (ready == 0) return kTimedOut;
    if (stop_fd_ >= 0 && (fds[1].revents & POLLIN)) return kStopped;
    return kRequest;
  }
}

RequestReader::Status RequestReader::receive() {
  for (;;) {
    const ssize_t got = ::recv(sock_, buffer_, sizeof(buffer_), 0);
    if (got == 0) return kClosed;
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN ? kTimedOut : kFailed;
    }
    held_.append(buffer_, static_cast<std::size_t>(got));
    filled_ = static_cast<std::size_t>(got) == sizeof(buffer_);
    if (held_.size() > message_bounds::kMaxMessageBytes) return kTooLarge;
    return kRequest;
  }
}

void RequestReader::take_first() {
  const std::size_t end = message_bounds::joined_request_start(held_);
  wipe_string(request_);
  request_.assign(held_, 0, end);
  // The copy handed out is the one that is wiped; the bytes left behind in
  // held_ are wiped before they are dropped.
  sodium_memzero(held_.data(), end);
  held_.erase(0, end);
}

RequestReader::Status RequestReader::read(Clock::time_point deadline) {
  // A request joined to the last one is already here.
  joined_ = !held_.empty();
  if (joined_) {
    take_first();
    return kRequest;
  }
  Status status = wait_readable(poll_timeout(deadline));
  if (status != kRequest) return status;
  if ((status = receive()) != kRequest) return status;
  Clock::time_point split_deadline{};
  for (;;) {
    // A long request: it filled the receive, and the socket already holds
    // its rest.
    if (filled_ && bytes_waiting()) {
      if ((status = receive()) != kRequest) return status;
      continue;
    }
    if (!message_bounds::ends_inside_tag(held_)) break;
    // Cut inside a tag: its rest is awaited briefly, then the bytes are
    // read as they came.
    const Clock::time_point now = Clock::now();
    if (split_deadline == Clock::time_point{}) {
      split_deadline = now + std::chrono::milliseconds(message_bounds::kSplitWaitMilliseconds);
    }
    if (now >= split_deadline) break;
    status = wait_readable(poll_timeout(split_deadline));
    if (status == kTimedOut) break;
    if (status != kRequest) return status;
    status = receive();
    if (status == kClosed) break;  // the request as it came; the close comes next
    if (status != kRequest) return status;
  }
  take_first();
  return kRequest;
}
