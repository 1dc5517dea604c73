// One client connection: reads requests one after another, checks the
// ClientID of each and hands it to its handler; a handler's ServiceError
// becomes an error reply. The session ends when the client closes, a reply
// cannot be sent, a request is oversized, the service stops, or a time
// limit passes: the login grace until the connection has logged in (or
// shown a valid ClientID), the idle time between requests after that.
#ifndef BREVANTO_SERVICE_NET_SESSION_H_
#define BREVANTO_SERVICE_NET_SESSION_H_

#include <chrono>
#include <cstddef>
#include <string>

#include "service/net/client_registry.h"
#include "service/net/reply_sender.h"
#include "service/service_context.h"
#include "service/store/tree_cache.h"

class Request;

class Session {
 public:
  Session(ServiceContext& context, int sock, int id)
      : context_(context),
        sock_(sock),
        id_(id),
        started_(std::chrono::steady_clock::now()),
        replies_(sock) {}

  void run();

  ServiceContext& context() { return context_; }
  // The folders of the user's tree this connection used last.
  TreeCache& trees() { return trees_; }
  int sock() const { return sock_; }
  int id() const { return id_; }
  // Sends one message of the reply to the current request (see
  // reply_sender.h); throws ClientGone.
  void send(const std::string& message) { replies_.send(message); }
  // Everything the session sends goes through this, progress reports too.
  ReplySender& replies() { return replies_; }

  // Counts the connection as logged in from now on. False when every
  // session slot is taken.
  bool promote();
  // Counts a failed login on this connection; returns how many so far.
  int count_login_failure() { return ++login_failures_; }
  int login_failures() const { return login_failures_; }
  // Waits `delay`, less when the client leaves or the service stops.
  void pause(std::chrono::milliseconds delay);

 private:
  // Handles one request; false when the session must end.
  bool handle(const char* text, std::size_t size);
  void dispatch(const Request& request);
  // The binding of the request's ClientID; throws ServiceError(kNotLoggedIn).
  Binding authenticate(const Request& request);

  // Marks a pending connection as busy with a request: it is not closed to
  // make room for new connections meanwhile.
  void set_busy(bool busy);
  // The deadline of the next read: the end of the login grace, or the
  // idle limit once logged in; the epoch for none.
  std::chrono::steady_clock::time_point read_deadline() const;

  ServiceContext& context_;
  int sock_;
  int id_;
  std::chrono::steady_clock::time_point started_;
  TreeCache trees_;
  ReplySender replies_;
  bool authenticated_ = false;
  int login_failures_ = 0;
};

#endif  // BREVANTO_SERVICE_NET_SESSION_H_
