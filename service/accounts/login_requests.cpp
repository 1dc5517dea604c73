#include "service/accounts/login_requests.h"

#include <chrono>

#include "service/accounts/accounts.h"
#include "service/net/client_registry.h"
#include "service/errors.h"
#include "service/log.h"
#include "service/accounts/login_throttle.h"
#include "service/net/peer_identity.h"
#include "service/net/replies.h"
#include "service/net/request.h"
#include "service/net/session.h"
#include "service/store/store.h"
#include "util/text.h"

namespace {

// Logs a refused login with who asked, then answers after the connection's
// growing delay, so one connection cannot guess quickly whatever names it
// tries.
void refuse(Session& session, ErrorCode code, const std::string& what,
            const std::string& why = std::string(), const std::string& text = std::string()) {
  const int failures = session.count_login_failure();
  log_warn("conn %d: %s, from %s, failure %d on this connection%s%s%s", session.id(),
           what.c_str(), describe_peer(session.sock()).c_str(), failures,
           why.empty() ? "" : " (", why.c_str(), why.empty() ? "" : ")");
  session.pause(connection_failure_delay(failures));
  session.send(error_reply(code, text));
}

}  // namespace

void handle_login(Session& session, const Request& request) {
  const std::string& user = request.get("User");
  const std::string& password = request.get("Password");
  const std::string* project_attr = request.find("ProjectName");
  const std::string project = project_attr ? *project_attr : std::string();
  if (project.size() > kMaxProjectBytes) throw ServiceError(kBadRequest, "project name too long");

  ServiceContext& context = session.context();
  // Failures count against the uid that makes them, never against the
  // account's owner (see login_throttle.h).
  const long uid = session.peer_uid();
  const auto guesser = static_cast<uid_t>(uid);
  LoginThrottle* throttle = context.throttle;
  if (throttle != nullptr) {
    const auto wait = throttle->claim(guesser, user);
    if (wait > LoginThrottle::Clock::duration::zero()) {
      const auto seconds = std::chrono::ceil<std::chrono::seconds>(wait).count();
      refuse(session, kLoginThrottled,
             format_narrow("login of user %s refused unchecked (%lld s more after failures)",
                           log_safe(user).c_str(), static_cast<long long>(seconds)));
      return;
    }
  }
  // A uid that failed before, or a connection that did, waits behind
  // every other check.
  const bool suspect =
      session.login_failures() > 0 || (throttle != nullptr && throttle->suspect(guesser, user));
  LoginCheck check;
  try {
    if (context.account_uids != nullptr) {
      check = check_login_as(*context.catalog, *context.account_uids, uid, user, password, suspect);
    } else {
      check.user_id = check_login(*context.catalog, user, password, suspect);
    }
  } catch (...) {
    if (throttle != nullptr) throttle->finish(guesser, user, false);
    throw;
  }
  if (throttle != nullptr) throttle->finish(guesser, user, check.user_id.has_value());
  if (!check.user_id) {
    refuse(session, kWrongLogin, "login refused for user " + log_safe(user), check.refused,
           check.advice);
    return;
  }
  if (!session.promote()) throw ServiceError(kBusy, "every session slot is taken");
  Binding binding{*check.user_id, user, project};
  context.store->open_tree(TreeId{binding.user_id, binding.project});  // it exists from now on
  const std::string client_id = context.clients->add(binding);
  log_info("conn %d: user %s logged in, project %s", session.id(), log_safe(user).c_str(),
           project.empty() ? "(default)" : log_safe(project).c_str());
  session.send(login_reply(client_id));
}

void handle_logout(Session& session, const Request& request) {
  if (const std::string* id = request.find("ClientID")) {
    if (const auto binding = session.context().clients->find(*id)) {
      log_info("conn %d: user %s logged out", session.id(), log_safe(binding->user).c_str());
    }
    session.context().clients->remove(*id);
  }
  session.send(success_reply());
}
