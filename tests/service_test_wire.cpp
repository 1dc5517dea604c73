#include "tests/service_test_wire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "protocol/message_bounds.h"
#include "xml/reply_document.h"

WireClient::WireClient(std::uint16_t port, int receive_buffer) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  if (receive_buffer > 0) {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
  }
  timeval timeout = {10, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) close();
}

WireClient::~WireClient() { close(); }

void WireClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool WireClient::send(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string WireClient::read_message() {
  // The library's reader, in short: one receive is one message, read on
  // only while the socket already holds more of a long one or the bytes
  // end inside a tag.
  char buffer[4096];
  std::string message;
  for (;;) {
    const ssize_t got = ::recv(fd_, buffer, sizeof(buffer), 0);
    if (got <= 0) return message;
    message.append(buffer, static_cast<std::size_t>(got));
    int waiting = 0;
    if (::ioctl(fd_, FIONREAD, &waiting) == 0 && waiting > 0 &&
        got == static_cast<ssize_t>(sizeof(buffer))) {
      continue;
    }
    if (!message_bounds::ends_inside_tag(message)) return message;
    pollfd entry = {fd_, POLLIN, 0};
    if (::poll(&entry, 1, message_bounds::kSplitWaitMilliseconds) <= 0) return message;
  }
}

std::string WireClient::login(const std::string& user, const std::string& password,
                              const std::string& project) {
  send("<login User=\"" + user + "\" Password=\"" + password + "\" ProjectName=\"" + project +
       "\" ClientType=\"1\" ClientID=\"0\"/>");
  return attribute_of(read_message(), "ClientID");
}

std::string attribute_of(const std::string& message, const char* name, bool* found) {
  _reply_document doc;
  parse_reply(doc, message.c_str());
  const _reply_attribute* attr = find_attribute(doc, name);
  if (found) *found = attr != nullptr;
  return attr ? attr->value : std::string();
}
