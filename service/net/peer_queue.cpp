#include "service/net/peer_queue.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "service/log.h"
#include "service/net/socket_io.h"
#include "service/net/tcp_diag_request.h"

namespace {

// Once the kernel has answered one query, it has inet_diag: a later
// "no such socket" means the client's socket is gone.
std::atomic<bool> g_kernel_answered{false};
std::atomic<bool> g_warned{false};

void warn_once(const char* why) {
  if (!g_warned.exchange(true)) {
    log_warn("cannot see what clients have read (%s): the messages of a reply go out "
             "without waiting for the client",
             why);
  }
}

// The bytes of `info` the kernel filled in must reach this field.
constexpr std::size_t kNeededInfo =
    offsetof(tcp_info, tcpi_bytes_received) + sizeof(tcp_info::tcpi_bytes_received);

}  // namespace

bool PeerQueue::open() {
  if (client_port_ == 0) {
    sockaddr_in peer = {}, local = {};
    socklen_t peer_len = sizeof(peer), local_len = sizeof(local);
    if (::getpeername(sock_, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0 ||
        ::getsockname(sock_, reinterpret_cast<sockaddr*>(&local), &local_len) != 0) {
      return false;
    }
    if (peer.sin_family != AF_INET || local.sin_family != AF_INET) {
      unsupported_ = true;  // a Unix socket pair, say: nothing to ask
      return false;
    }
    client_address_ = peer.sin_addr.s_addr;
    client_port_ = peer.sin_port;
    service_address_ = local.sin_addr.s_addr;
    service_port_ = local.sin_port;
  }
  netlink_.reset(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!netlink_.valid()) {
    // Out of descriptors is passing; no sock_diag at all is not.
    if (errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM) {
      unsupported_ = true;
      warn_once(std::strerror(errno));
    }
    return false;
  }
  return true;
}

PeerQueue::Sample PeerQueue::ask(bool with_received) {
  Sample result;
  if (unsupported_ || (!netlink_.valid() && !open())) return result;

  // The client's socket: its local end is our peer.
  TcpDiagRequest message = tcp_diag_request(client_address_, client_port_, service_address_,
                                            service_port_, cookie_known_ ? cookie_ : nullptr);
  message.header.nlmsg_seq = ++sequence_;
  message.request.idiag_ext = with_received ? 1 << (INET_DIAG_INFO - 1) : 0;
  sockaddr_nl kernel = {};
  kernel.nl_family = AF_NETLINK;
  // The kernel answers within sendto(), so the answer is waiting when it
  // returns.
  if (::sendto(netlink_.get(), &message, sizeof(message), 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof(kernel)) < 0) {
    return result;
  }
  // An answer to an earlier look that was not taken (never expected) is
  // passed over.
  alignas(nlmsghdr) char reply[4096];
  const nlmsghdr* header;
  for (;;) {
    const ssize_t got = ::recv(netlink_.get(), reply, sizeof(reply), MSG_DONTWAIT);
    if (got < 0 && errno == EINTR) continue;
    if (got < static_cast<ssize_t>(NLMSG_HDRLEN)) return result;
    header = reinterpret_cast<const nlmsghdr*>(reply);
    if (!NLMSG_OK(header, static_cast<unsigned>(got))) return result;
    if (header->nlmsg_seq == sequence_) break;
  }

  if (header->nlmsg_type == NLMSG_ERROR) {
    const int err = -static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error;
    // ENOENT is "no such socket", and also "no inet_diag in this kernel"
    // until the kernel has answered once; a client still connected tells
    // the two apart. ESTALE: the port now belongs to another socket.
    const bool no_socket = err == ENOENT && (g_kernel_answered.load(std::memory_order_relaxed) ||
                                             peer_closed(sock_));
    if (no_socket || err == ESTALE) {
      result.state = State::kGone;
      return result;
    }
    unsupported_ = true;
    warn_once(std::strerror(err));
    return result;
  }
  if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
      header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
    return result;
  }
  const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
  g_kernel_answered.store(true, std::memory_order_relaxed);
  cookie_[0] = found->id.idiag_cookie[0];
  cookie_[1] = found->id.idiag_cookie[1];
  cookie_known_ = true;

  if (!with_received) {
    result.state = State::kKnown;
    result.unread = found->idiag_rqueue;
    return result;
  }
  // The attributes after the message: the TCP information is the one.
  const char* at = reinterpret_cast<const char*>(found) + NLMSG_ALIGN(sizeof(inet_diag_msg));
  const char* end = reinterpret_cast<const char*>(header) + header->nlmsg_len;
  while (end - at >= static_cast<std::ptrdiff_t>(NLA_HDRLEN)) {
    const auto* attr = reinterpret_cast<const nlattr*>(at);
    if (attr->nla_len < NLA_HDRLEN || attr->nla_len > end - at) break;
    if ((attr->nla_type & NLA_TYPE_MASK) == INET_DIAG_INFO) {
      const std::size_t size = attr->nla_len - NLA_HDRLEN;
      if (size < kNeededInfo) {
        unsupported_ = true;
        warn_once("the kernel's TCP information has no byte counts");
        return result;
      }
      tcp_info info;
      std::memcpy(&info, at + NLA_HDRLEN, kNeededInfo);
      result.state = State::kKnown;
      result.received = info.tcpi_bytes_received;
      result.unread = found->idiag_rqueue;
      return result;
    }
    at += NLA_ALIGN(attr->nla_len);
  }
  // A socket without TCP information is closed (in TIME_WAIT, say).
  result.state = State::kGone;
  return result;
}
