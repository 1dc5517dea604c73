#include "service/net/session.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "service/accounts/account_uids.h"
#include "service/net/connection_table.h"
#include "service/net/peer_identity.h"
#include "service/errors.h"
#include "service/requests/request_tree.h"
#include "service/store/store.h"
#include "service/local/local_paths.h"
#include "service/log.h"
#include "service/net/replies.h"
#include "service/net/request.h"
#include "service/net/request_reader.h"
#include "service/net/request_routes.h"
#include "service/net/socket_io.h"
#include "service/net/stop_signal.h"

namespace {

// How loud a failed request is: the service's own failures are errors;
// answers a client asks for in the normal course (an existence check that
// finds nothing, a path taken already) are information; the rest, refused
// or malformed requests, are warnings.
LogLevel error_log_level(ErrorCode code) {
  switch (code) {
    case kInternal:
    case kDiskFull: return LogLevel::kError;
    case kNotFound:
    case kAlreadyExists:
    case kNotADirectory:
    case kIsADirectory: return LogLevel::kInfo;
    default: return LogLevel::kWarn;
  }
}

bool only_blanks(const char* text, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    if (std::strchr(" \t\r\n", text[i]) == nullptr) return false;
  }
  return true;
}

}  // namespace

bool Session::promote() {
  if (authenticated_) return true;
  int evicted = 0;
  if (context_.connections != nullptr && !context_.connections->promote(id_, &evicted)) {
    return false;
  }
  if (evicted != 0) {
    log_warn("conn %d: session closed to make room for a login of uid %ld, which holds fewer "
             "sessions than its share",
             evicted, peer_uid());
  }
  authenticated_ = true;
  return true;
}

bool Session::set_busy(bool busy) {
  return context_.connections == nullptr || context_.connections->set_busy(id_, busy);
}

void Session::pause(std::chrono::milliseconds delay) {
  // A pending connection that only waits may make room for a new one.
  if (!authenticated_) set_busy(false);
  pollfd fds[2] = {{sock_, POLLRDHUP, 0}, {stop_fd(), POLLIN, 0}};
  ::poll(fds, stop_fd() >= 0 ? 2 : 1, static_cast<int>(delay.count()));
  if (!authenticated_) set_busy(true);
}

std::chrono::steady_clock::time_point Session::read_deadline() const {
  const SessionTimeouts& limits = context_.timeouts;
  if (!authenticated_) {
    return limits.login_grace.count() > 0 ? started_ + limits.login_grace
                                          : std::chrono::steady_clock::time_point{};
  }
  return limits.idle.count() > 0 ? std::chrono::steady_clock::now() + limits.idle
                                 : std::chrono::steady_clock::time_point{};
}

void Session::note_change(const Binding& who) {
  const TreeId tree = tree_of(who);
  for (const TreeId& known : changed_) {
    if (known.user_id == tree.user_id && known.project == tree.project) return;
  }
  changed_.push_back(tree);
}

bool Session::finish_changes(bool wait) {
  bool durable = true;
  for (const TreeId& tree : changed_) durable = context_.store->end_session(tree, wait) && durable;
  changed_.clear();
  return durable;
}

void Session::run() {
  // However the connection ends, what it changed becomes a point.
  struct Finish {
    Session* session;
    ~Finish() {
      try {
        session->finish_changes(false);
      } catch (const std::exception& e) {
        log_error("conn %d: cannot make a point: %s", session->id(), e.what());
      }
    }
  } finish{this};
  RequestReader reader(sock_, stop_fd());
  for (;;) {
    switch (reader.read(read_deadline())) {
      case RequestReader::kRequest: {
        // A connection shut down to make room leaves its request alone.
        if (!set_busy(true)) {
          reader.wipe();
          return;
        }
        const bool go_on = handle(reader.text(), reader.size(), reader.joined());
        set_busy(false);
        reader.wipe();  // a login's password is spent
        if (!go_on) return;
        break;
      }
      case RequestReader::kTimedOut:
        log_info("conn %d: %s, closing", id_,
                 authenticated_ ? "idle for too long" : "no login within the grace time");
        return;
      case RequestReader::kTooLarge:
        log_warn("conn %d: request too large, closing", id_);
        replies_.start_reply();
        try {
          send(error_reply(kBadRequest));
        } catch (const ClientGone&) {
        }
        return;
      case RequestReader::kClosed:
      case RequestReader::kStopped:
        return;
      case RequestReader::kFailed:
        log_warn("conn %d: receive failed: %s", id_, std::strerror(errno));
        return;
    }
  }
}

bool Session::handle(const char* text, std::size_t size, bool after_unread) {
  // White space between requests needs no answer.
  if (only_blanks(text, size)) return true;
  replies_.start_reply(after_unread);
  try {
    try {
      const Request request(text, size);
      dispatch(request);
    } catch (const ServiceError& e) {
      log_at(error_log_level(e.code()), "conn %d: error %d (%s): %s", id_, e.code(),
             error_text(e.code()), e.what());
      // A refused local path names the folders that are allowed, so that a
      // client can tell its user where files may go.
      const bool name_roots = e.code() == kLocalRefused && context_.local_roots != nullptr;
      std::string text = name_roots ? context_.local_roots->refusal_text() : "";
      // A quota names itself, so that a full disk and a full account differ.
      if (dynamic_cast<const QuotaReached*>(&e) != nullptr) {
        text = std::string(error_text(e.code())) + ": " + e.what();
        std::replace(text.begin(), text.end(), '"', '\'');  // values hold no '"'
      }
      send(error_reply(e.code(), text));
    } catch (const ClientGone&) {
      throw;
    } catch (const std::exception& e) {
      log_error("conn %d: internal error: %s", id_, e.what());
      send(error_reply(kInternal));
    }
  } catch (const ClientGone& e) {
    log_info("conn %d: client gone: %s", id_, e.what());
    return false;
  }
  return !stop_requested();
}

void Session::dispatch(const Request& request) {
  const RequestRoutes* routes = context_.routes;
  if (routes == nullptr) throw ServiceError(kInternal, "no request handlers");
  if (request.is("login")) return routes->login(*this, request);
  if (request.is("logout")) {
    // The logout reply says that the session's changes are durable.
    if (!finish_changes(true)) throw ServiceError(kInternal, "store sync failed");
    return routes->logout(*this, request);
  }
  for (const RequestRoutes::Route& route : routes->routes) {
    if (request.is(route.element)) return route.handler(*this, request, authenticate(request));
  }
  throw ServiceError(kBadRequest, "unknown request " + log_safe(request.name()));
}

Binding Session::authenticate(const Request& request) {
  // GetFileList spells it ClientId; the lookup ignores case.
  const std::string* id = request.find("ClientID");
  if (id != nullptr) {
    if (const auto binding = context_.clients->find(*id)) {
      // A ClientID counts only from a uid that may use its account, as its
      // login did: one shown by any other uid is as good as unknown.
      if (context_.account_uids != nullptr && binding->user_id != allowed_user_) {
        const std::string refusal = context_.account_uids->refusal(binding->user_id, peer_uid());
        if (!refusal.empty()) {
          throw ServiceError(kNotLoggedIn, request.name() + " with a ClientID of user " +
                                               log_safe(binding->user) + ": " + refusal);
        }
        allowed_user_ = binding->user_id;
      }
      if (!promote()) throw ServiceError(kBusy, "every session slot is taken");
      return *binding;
    }
  }
  throw ServiceError(kNotLoggedIn, request.name() + " without a valid ClientID");
}

long Session::peer_uid() {
  if (peer_uid_ == -2) peer_uid_ = ::peer_uid(sock_);
  return peer_uid_;
}

const LocalUser& Session::local_user() {
  if (!local_user_) local_user_ = local_user_of(peer_uid());
  return *local_user_;
}
