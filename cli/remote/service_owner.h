// Before a password goes to the local service: who listens on
// 127.0.0.1:11001? The library connects there and sends the user name and
// password at once, to whatever program holds the port. Any local user may
// take a free port, so while the service is not running (stopped, crashed,
// restarting) another user's program could take it and collect passwords.
// The kernel tells who owns a listening socket through the socket
// diagnostics interface (NETLINK_SOCK_DIAG, inet_diag), and the command line
// logs in only when every socket that would take the connection belongs to
// root, to the user running it, or to the uid given with --service-uid.
#ifndef BREVANTO_CLI_SERVICE_OWNER_H_
#define BREVANTO_CLI_SERVICE_OWNER_H_

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The port the library connects to, on 127.0.0.1.
inline constexpr std::uint16_t kServicePort = 11001;

// Whose listening socket is accepted, besides root's and the user's own.
struct ServiceOwnerPolicy {
  bool any = false;           // --service-uid any: nobody is asked, anyone is trusted
  std::optional<uid_t> uid;  // --service-uid UID
};

// Reads --service-uid: "any", a uid, or a user name. False, with `error`
// saying why, for anything else.
bool parse_service_uid(const std::string& text, ServiceOwnerPolicy& policy, std::string& error);

// A TCP socket in state LISTEN, as the kernel reports it.
struct ListeningSocket {
  int family = 0;                   // AF_INET or AF_INET6
  unsigned char address[16] = {};  // as bound, network order (AF_INET: 4 bytes)
  std::uint16_t port = 0;           // host order
  bool v6only = false;              // an AF_INET6 socket that takes no IPv4
  uid_t uid = 0;                    // its owner
};

// True when a connection to 127.0.0.1:`port` may reach `socket`: bound to
// that port on 127.0.0.1 or on every address (0.0.0.0), or an IPv6 socket
// that takes IPv4 too, bound to :: or to ::ffff:127.0.0.1 or ::ffff:0.0.0.0.
bool takes_loopback_connection(const ListeningSocket& socket, std::uint16_t port);

// The TCP sockets listening in this network namespace, over IPv4 and IPv6.
// False, with `error` saying why, when the kernel cannot be asked (no
// socket diagnostics, refused by a sandbox).
bool list_listening_sockets(std::vector<ListeningSocket>& sockets, std::string& error);

// exit_codes::kOk when `policy` trusts the owner of every socket that would
// take a connection to 127.0.0.1:11001. Otherwise prints why and returns
// kNoSession: another user's listener (naming its uid and --service-uid),
// none at all (the service is not running), or no way to ask (unless
// --service-uid any).
int check_service_owner(const ServiceOwnerPolicy& policy);

#endif  // BREVANTO_CLI_SERVICE_OWNER_H_
