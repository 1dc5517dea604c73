// Sending reply messages and watching the peer of one client connection.
// A session sends through its ReplySender (reply_sender.h), which counts
// the bytes and keeps the messages of one reply apart.
#ifndef BREVANTO_SERVICE_NET_SOCKET_IO_H_
#define BREVANTO_SERVICE_NET_SOCKET_IO_H_

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>

// Every reply message fits one receive of the client.
constexpr std::size_t kMaxReplyBytes = 4096;

// A client that stops reading fails its session after this long: a send
// blocked this long fails (SO_SNDTIMEO), and so does a wait for the client
// to read a reply's message before the next.
constexpr std::chrono::seconds kSendTimeout{30};

// The client can no longer be written to (it closed, reset or stalled past
// the send time-out, or the service stopped while it had a message of a
// reply still to read); the session ends.
class ClientGone : public std::runtime_error {
 public:
  explicit ClientGone(const std::string& what) : std::runtime_error(what) {}
};

// Sends one message with one send() call; only a partial send (signal,
// time-out) is continued. Never raises SIGPIPE. Throws ClientGone.
void send_message(int sock, const std::string& message);

// True when the peer has closed or reset the connection. Does not block and
// consumes nothing.
bool peer_closed(int sock);

#endif  // BREVANTO_SERVICE_NET_SOCKET_IO_H_
