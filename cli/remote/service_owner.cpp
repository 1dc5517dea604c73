#include "cli/remote/service_owner.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/exit_codes.h"
#include "cli/output/output.h"

namespace {

// "uid 65534 (nobody)", or "uid 1234" for a uid without a name.
std::string describe_uid(uid_t uid) {
  std::string text = "uid " + std::to_string(uid);
  if (const passwd* entry = getpwuid(uid); entry != nullptr && entry->pw_name != nullptr) {
    text += " (" + std::string(entry->pw_name) + ")";
  }
  return text;
}

class NetlinkSocket {
 public:
  NetlinkSocket() : fd_(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {}
  ~NetlinkSocket() {
    if (fd_ >= 0) close(fd_);
  }
  NetlinkSocket(const NetlinkSocket&) = delete;
  NetlinkSocket& operator=(const NetlinkSocket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

ListeningSocket read_socket(const nlmsghdr& header) {
  const auto& message = *static_cast<const inet_diag_msg*>(NLMSG_DATA(&header));
  ListeningSocket socket;
  socket.family = message.idiag_family;
  std::memcpy(socket.address, message.id.idiag_src, sizeof(socket.address));
  socket.port = ntohs(message.id.idiag_sport);
  socket.uid = message.idiag_uid;
  // The attributes follow the message; IPv6 sockets carry INET_DIAG_SKV6ONLY.
  int length = static_cast<int>(header.nlmsg_len - NLMSG_LENGTH(sizeof(message)));
  for (auto* attribute = reinterpret_cast<const rtattr*>(
           reinterpret_cast<const char*>(&message) + NLMSG_ALIGN(sizeof(message)));
       RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) {
    if (attribute->rta_type == INET_DIAG_SKV6ONLY && RTA_PAYLOAD(attribute) >= 1) {
      socket.v6only = *static_cast<const unsigned char*>(RTA_DATA(attribute)) != 0;
    }
  }
  return socket;
}

// Dumps the TCP sockets of `family` in state LISTEN; 0, or the errno.
int dump_listeners(int fd, int family, std::vector<ListeningSocket>& sockets) {
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message = {};
  message.header.nlmsg_len = sizeof(message);
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  message.header.nlmsg_seq = static_cast<unsigned>(family);
  message.request.sdiag_family = static_cast<unsigned char>(family);
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = 1u << TCP_LISTEN;
  sockaddr_nl kernel = {};
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd, &message, sizeof(message), 0, reinterpret_cast<const sockaddr*>(&kernel),
             sizeof(kernel)) < 0) {
    return errno;
  }
  alignas(nlmsghdr) char buffer[32768];
  for (;;) {
    const ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) return EIO;
    int left = static_cast<int>(got);
    for (auto* header = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(header, left);
         header = NLMSG_NEXT(header, left)) {
      if (header->nlmsg_type == NLMSG_DONE) return 0;
      if (header->nlmsg_type == NLMSG_ERROR) {
        if (header->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return EIO;
        const int error = -static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error;
        return error > 0 ? error : EIO;
      }
      if (header->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
          header->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
        sockets.push_back(read_socket(*header));
      }
    }
  }
}

}  // namespace

bool parse_service_uid(const std::string& text, ServiceOwnerPolicy& policy, std::string& error) {
  if (text == "any") {
    policy.any = true;
    return true;
  }
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
    if (errno == 0 && value < static_cast<unsigned long>(static_cast<uid_t>(-1))) {
      policy.uid = static_cast<uid_t>(value);
      return true;
    }
  } else if (const passwd* entry = text.empty() ? nullptr : getpwnam(text.c_str())) {
    policy.uid = entry->pw_uid;
    return true;
  }
  error = "--service-uid " + text + ": neither \"any\", a uid nor a user name";
  return false;
}

bool takes_loopback_connection(const ListeningSocket& socket, std::uint16_t port) {
  if (socket.port != port) return false;
  static const unsigned char kLoopback[4] = {127, 0, 0, 1};
  static const unsigned char kAny[4] = {0, 0, 0, 0};
  const auto ipv4_takes = [](const unsigned char* address) {
    return std::memcmp(address, kLoopback, 4) == 0 || std::memcmp(address, kAny, 4) == 0;
  };
  if (socket.family == AF_INET) return ipv4_takes(socket.address);
  if (socket.family != AF_INET6 || socket.v6only) return false;
  static const unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  static const unsigned char kUnspecified[16] = {};
  return std::memcmp(socket.address, kUnspecified, 16) == 0 ||
         (std::memcmp(socket.address, kMappedPrefix, 12) == 0 && ipv4_takes(socket.address + 12));
}

bool list_listening_sockets(std::vector<ListeningSocket>& sockets, std::string& error) {
  const NetlinkSocket netlink;
  if (netlink.fd() < 0) {
    error = std::strerror(errno);
    return false;
  }
  if (const int failed = dump_listeners(netlink.fd(), AF_INET, sockets)) {
    error = std::strerror(failed);
    return false;
  }
  // ENOENT after IPv4 answered: a kernel without IPv6, so no IPv6 listener.
  if (const int failed = dump_listeners(netlink.fd(), AF_INET6, sockets);
      failed && failed != ENOENT) {
    error = std::strerror(failed);
    return false;
  }
  return true;
}

int check_service_owner(const ServiceOwnerPolicy& policy) {
  if (policy.any) return exit_codes::kOk;
  std::vector<ListeningSocket> sockets;
  std::string error;
  if (!list_listening_sockets(sockets, error)) {
    print_error("login: cannot tell who listens on 127.0.0.1:11001, as the socket diagnostics "
                "interface (NETLINK_SOCK_DIAG) cannot be asked (" + error + "), so the password "
                "is not sent; --service-uid any logs in without asking");
    return exit_codes::kNoSession;
  }
  const uid_t self = getuid();
  bool listening = false;
  for (const ListeningSocket& socket : sockets) {
    if (!takes_loopback_connection(socket, kServicePort)) continue;
    listening = true;
    if (socket.uid == 0 || socket.uid == self || (policy.uid && socket.uid == *policy.uid)) {
      continue;
    }
    std::vector<std::string> trusted = {"root"};
    if (self != 0) trusted.push_back("you (uid " + std::to_string(self) + ")");
    if (policy.uid) trusted.push_back("--service-uid " + std::to_string(*policy.uid));
    std::string trusted_text = trusted.front();
    for (std::size_t i = 1; i < trusted.size(); ++i) {
      trusted_text += (i + 1 == trusted.size() ? " or " : ", ") + trusted[i];
    }
    print_error("login: the program listening on 127.0.0.1:11001 runs as " +
                    describe_uid(socket.uid) + ", not as " + trusted_text +
                    ", so the password is not sent; if it is the service you mean to use, add "
                    "--service-uid " + std::to_string(socket.uid),
                JsonObject().number("listener_uid", socket.uid));
    return exit_codes::kNoSession;
  }
  if (!listening) {
    print_error("login: the service is not reachable: nothing listens on 127.0.0.1:11001");
    return exit_codes::kNoSession;
  }
  return exit_codes::kOk;
}
