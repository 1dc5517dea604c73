#include "service/accounts/account_uids.h"

#include <unistd.h>

#include <algorithm>

#include "service/log.h"
#include "service/store/catalog.h"

AccountUids::AccountUids(Catalog& catalog, bool act_for_others)
    : catalog_(catalog), act_for_others_(act_for_others), self_(::geteuid()) {}

bool AccountUids::listed(std::int64_t user_id, uid_t uid) const {
  const auto it = known_.find(user_id);
  return it != known_.end() &&
         std::binary_search(it->second.begin(), it->second.end(), static_cast<std::uint32_t>(uid));
}

std::string AccountUids::refusal(std::int64_t user_id, long uid) {
  if (uid < 0) return "the connecting uid is unknown";
  const auto user = static_cast<uid_t>(uid);
  if (!act_for_others_ && user != self_) {
    return "the service runs as uid " + std::to_string(self_) + " and acts for no other uid";
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (listed(user_id, user)) return std::string();
  // Read again: --allow-uid may have added it since.
  known_[user_id] = catalog_.user_uids(user_id);
  if (listed(user_id, user)) return std::string();
  return "uid " + std::to_string(uid) + " may not use this account";
}

namespace {

// `name` as a shell word when it needs no quoting, else "NAME": the errtext
// goes into a reply value and onto the user's screen.
std::string plain_word(const std::string& name) {
  for (const char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-' || c == '@';
    if (!plain) return "NAME";
  }
  return name;
}

}  // namespace

std::string AccountUids::advice(const std::string& account, long uid) const {
  if (uid < 0) return std::string();
  const std::string who = std::to_string(uid);
  if (!act_for_others_ && static_cast<uid_t>(uid) != self_) {
    return "this service runs as uid " + std::to_string(self_) +
           " and serves that user only (you are uid " + who + ")";
  }
  return "this account is not bound to your user id (uid " + who +
         "); ask the administrator to run brevanto-service --add-user " +
         plain_word(account) + " --allow-uid " + who;
}

int bind_unbound_accounts(Catalog& catalog, uid_t owner) {
  const int bound = catalog.bind_unbound_users(owner);
  if (bound > 0) {
    log_warn("%d account(s) from before accounts had Linux users bound to uid %u, the owner of "
             "the storage root (--add-user NAME --allow-uid UID lets others use one)",
             bound, owner);
  }
  return bound;
}
