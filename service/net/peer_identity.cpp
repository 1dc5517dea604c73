#include "service/net/peer_identity.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "service/net/tcp_diag_request.h"
#include "service/unique_fd.h"

namespace {

// The uid owning the TCP socket whose local end is `peer` and remote end
// `local` (the client's side of this connection), or -1.
long tcp_owner_uid(const sockaddr_in& peer, const sockaddr_in& local) {
  const UniqueFd nl(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!nl.valid()) return -1;
  TcpDiagRequest message = tcp_diag_request(peer.sin_addr.s_addr, peer.sin_port,
                                            local.sin_addr.s_addr, local.sin_port);
  sockaddr_nl kernel = {};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(nl.get(), &message, sizeof(message), 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof(kernel)) < 0) {
    return -1;
  }
  alignas(nlmsghdr) char reply[1024];
  const ssize_t got = ::recv(nl.get(), reply, sizeof(reply), 0);
  if (got < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(inet_diag_msg)))) return -1;
  const auto* header = reinterpret_cast<const nlmsghdr*>(reply);
  if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY) return -1;
  const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
  return static_cast<long>(found->idiag_uid);
}

}  // namespace

long peer_uid(int sock) {
  sockaddr_storage peer = {};
  socklen_t len = sizeof(peer);
  if (::getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return -1;
  if (peer.ss_family == AF_UNIX) {
    ucred cred = {};
    socklen_t cred_len = sizeof(cred);
    if (::getsockopt(sock, SOL_SOCKET, SO_PEERCRED, &cred, &cred_len) != 0) return -1;
    return static_cast<long>(cred.uid);
  }
  if (peer.ss_family != AF_INET) return -1;
  sockaddr_in local = {};
  socklen_t local_len = sizeof(local);
  if (::getsockname(sock, reinterpret_cast<sockaddr*>(&local), &local_len) != 0) return -1;
  return tcp_owner_uid(reinterpret_cast<const sockaddr_in&>(peer), local);
}

std::string describe_peer(int sock) {
  sockaddr_storage peer = {};
  socklen_t len = sizeof(peer);
  if (::getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return "unknown peer";
  const long uid = peer_uid(sock);
  if (peer.ss_family == AF_UNIX) return uid >= 0 ? "unix uid " + std::to_string(uid) : "unix";
  if (peer.ss_family != AF_INET) return "unknown peer";
  const auto& peer_in = reinterpret_cast<const sockaddr_in&>(peer);
  char address[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &peer_in.sin_addr, address, sizeof(address));
  std::string text = std::string(address) + ":" + std::to_string(ntohs(peer_in.sin_port));
  if (uid >= 0) text += " uid " + std::to_string(uid);
  return text;
}
