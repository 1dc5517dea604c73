// Who is at the other end of a client connection: the user id that owns
// the connecting socket, as the kernel tells (inet_diag for TCP on this
// machine, SO_PEERCRED for a Unix socket), and for log lines the peer's
// address and port as well.
//
// A TCP socket belongs to the file-system uid of the thread that made it.
// A process can make its sockets belong only to uids it may take on, so an
// ordinary user's client always shows that user's uid.
#ifndef BREVANTO_SERVICE_NET_PEER_IDENTITY_H_
#define BREVANTO_SERVICE_NET_PEER_IDENTITY_H_

#include <string>

// "127.0.0.1:40312 uid 1000", "127.0.0.1:40312" when the owner is unknown,
// "unix uid 1000" for a Unix socket, "unknown peer" when nothing is known.
std::string describe_peer(int sock);

// The uid owning the client's end of `sock`, or -1 when the kernel does not
// tell (no inet_diag, or the client's socket is gone already).
long peer_uid(int sock);

#endif  // BREVANTO_SERVICE_NET_PEER_IDENTITY_H_
