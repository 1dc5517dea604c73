#include "service/login_requests.h"

#include "service/accounts.h"
#include "service/client_registry.h"
#include "service/errors.h"
#include "service/log.h"
#include "service/replies.h"
#include "service/request.h"
#include "service/session.h"
#include "service/storage_tree.h"

void handle_login(Session& session, const Request& request) {
  const std::string& user = request.get("User");
  const std::string& password = request.get("Password");
  const std::string* project_attr = request.find("ProjectName");
  const std::string project = project_attr ? *project_attr : std::string();
  if (project.size() > kMaxProjectBytes) throw ServiceError(kBadRequest, "project name too long");

  ServiceContext& context = session.context();
  const std::optional<std::int64_t> user_id = check_login(*context.catalog, user, password);
  if (!user_id) {
    log_line("conn %d: login refused for user %s", session.id(), log_safe(user).c_str());
    session.send(error_reply(kWrongLogin));
    return;
  }
  Binding binding{*user_id, user, project};
  open_user_tree(context.data_fd, binding, true);  // the tree exists from now on
  const std::string client_id = context.clients->add(binding);
  log_line("conn %d: user %s logged in, project %s", session.id(), log_safe(user).c_str(),
           project.empty() ? "(default)" : log_safe(project).c_str());
  session.send(login_reply(client_id));
}

void handle_logout(Session& session, const Request& request) {
  if (const std::string* id = request.find("ClientID")) {
    if (const auto binding = session.context().clients->find(*id)) {
      log_line("conn %d: user %s logged out", session.id(), log_safe(binding->user).c_str());
    }
    session.context().clients->remove(*id);
  }
  session.send(success_reply());
}
