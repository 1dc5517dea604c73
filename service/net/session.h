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
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "service/local/clear_folders.h"
#include "service/local/local_user.h"
#include "service/net/client_registry.h"
#include "service/net/reply_sender.h"
#include "service/service_context.h"
#include "service/store/file_catalog.h"

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
  int sock() const { return sock_; }
  int id() const { return id_; }
  // Sends one message of the reply to the current request (see
  // reply_sender.h); throws ClientGone.
  void send(const std::string& message) { replies_.send(message); }
  // Everything the session sends goes through this, progress reports too.
  ReplySender& replies() { return replies_; }

  // The uid that owns the client's socket (see peer_identity.h), -1 when
  // unknown; asked once per connection.
  long peer_uid();
  // That uid as a Linux user: local files are reached with its rights.
  const LocalUser& local_user();
  // The local folders this connection found outside the storage root.
  ClearFolders& clear_folders() { return clear_folders_; }

  // Counts the connection as logged in from now on. False when every
  // session slot is taken.
  bool promote();
  // Counts a failed login on this connection; returns how many so far.
  int count_login_failure() { return ++login_failures_; }
  int login_failures() const { return login_failures_; }
  // Notes that a request changed the tree of `who`: when the session logs
  // out or ends, the tree gets a point (see store.h).
  void note_change(const Binding& who);
  // Waits `delay`, less when the client leaves or the service stops.
  void pause(std::chrono::milliseconds delay);

 private:
  // Makes a point of each tree the session changed; with `wait`, returns
  // once they are durable (false when that failed).
  bool finish_changes(bool wait);
  // Handles one request (`after_unread`: sent before the client read the
  // last reply); false when the session must end.
  bool handle(const char* text, std::size_t size, bool after_unread);
  void dispatch(const Request& request);
  // The binding of the request's ClientID; throws ServiceError(kNotLoggedIn).
  Binding authenticate(const Request& request);

  // Marks the connection as busy with a request: it is not closed to make
  // room for other connections meanwhile. False when it was closed already.
  bool set_busy(bool busy);
  // The deadline of the next read: the end of the login grace, or the
  // idle limit once logged in; the epoch for none.
  std::chrono::steady_clock::time_point read_deadline() const;

  ServiceContext& context_;
  int sock_;
  int id_;
  std::chrono::steady_clock::time_point started_;
  std::vector<TreeId> changed_;
  ReplySender replies_;
  bool authenticated_ = false;
  int login_failures_ = 0;
  long peer_uid_ = -2;           // -2: not asked yet
  std::optional<LocalUser> local_user_;
  ClearFolders clear_folders_;
  std::int64_t allowed_user_ = 0;  // an account the peer's uid may use
};

#endif  // BREVANTO_SERVICE_NET_SESSION_H_
