// Who is at the other end of a client connection, for log lines: the
// peer's address and port, and on Linux the user id that owns the
// connecting socket when the kernel tells (inet_diag for TCP on this
// machine, SO_PEERCRED for a Unix socket).
#ifndef BREVANTO_SERVICE_NET_PEER_IDENTITY_H_
#define BREVANTO_SERVICE_NET_PEER_IDENTITY_H_

#include <string>

// "127.0.0.1:40312 uid 1000", "127.0.0.1:40312" when the owner is unknown,
// "unix uid 1000" for a Unix socket, "unknown peer" when nothing is known.
std::string describe_peer(int sock);

#endif  // BREVANTO_SERVICE_NET_PEER_IDENTITY_H_
