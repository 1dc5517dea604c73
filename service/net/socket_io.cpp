#include "service/net/socket_io.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

void send_message(int sock, const std::string& message) {
  const char* p = message.data();
  std::size_t left = message.size();
  while (left > 0) {
    const ssize_t sent = ::send(sock, p, left, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      throw ClientGone(std::string("send: ") + std::strerror(errno));
    }
    p += sent;
    left -= static_cast<std::size_t>(sent);
  }
}

bool peer_closed(int sock) {
  pollfd pfd = {sock, POLLRDHUP, 0};
  if (::poll(&pfd, 1, 0) <= 0) return false;
  return (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}
