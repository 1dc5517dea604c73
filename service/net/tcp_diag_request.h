// The sock_diag request for one TCP socket over IPv4, as the service asks
// the kernel about the client's end of a connection (its owner, what it has
// read). Addresses and ports in network byte order.
#ifndef BREVANTO_SERVICE_NET_TCP_DIAG_REQUEST_H_
#define BREVANTO_SERVICE_NET_TCP_DIAG_REQUEST_H_

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>

#include <cstdint>

struct TcpDiagRequest {
  nlmsghdr header;
  inet_diag_req_v2 request;
};

// The request for the socket whose local end is `src` and remote end `dst`;
// `cookie`, when given, pins it to the socket an earlier answer named.
inline TcpDiagRequest tcp_diag_request(std::uint32_t src_address, std::uint16_t src_port,
                                       std::uint32_t dst_address, std::uint16_t dst_port,
                                       const std::uint32_t* cookie = nullptr) {
  TcpDiagRequest message = {};
  message.header.nlmsg_len = sizeof(message);
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.request.sdiag_family = AF_INET;
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0u;
  message.request.id.idiag_sport = src_port;
  message.request.id.idiag_dport = dst_port;
  message.request.id.idiag_src[0] = src_address;
  message.request.id.idiag_dst[0] = dst_address;
  message.request.id.idiag_cookie[0] = cookie ? cookie[0] : INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = cookie ? cookie[1] : INET_DIAG_NOCOOKIE;
  return message;
}

#endif  // BREVANTO_SERVICE_NET_TCP_DIAG_REQUEST_H_
