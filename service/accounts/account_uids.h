// Which Linux users may use each account.
//
// An account is bound to one or more uids: the user who ran --add-user, or
// those named with --allow-uid. A login counts only from a connection whose
// socket belongs to one of them (see net/peer_identity.h), and a ClientID
// only on such a connection; any other gets the answer of a wrong password
// (or of an unknown ClientID), and only the log says why; a login that
// gave the account's right password is also told what to do (advice()).
// The local files
// of a request are then reached with that uid's rights (local/local_user.h).
// A service that cannot take on other users' identities (one not run as
// root) serves its own uid only, whatever the accounts allow.
//
// Accounts made before accounts had uids are bound, at the next start, to
// the owner of the storage root: the user who set the service up, the only
// one who could use them safely before (see bind_unbound_accounts()).
#ifndef BREVANTO_SERVICE_ACCOUNTS_ACCOUNT_UIDS_H_
#define BREVANTO_SERVICE_ACCOUNTS_ACCOUNT_UIDS_H_

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class Catalog;

class AccountUids {
 public:
  // `act_for_others`: whether the service can take on other uids' rights.
  AccountUids(Catalog& catalog, bool act_for_others);

  // Why the user `uid` (-1: unknown) may not use the account `user_id`, for
  // the log; empty when it may. Uids added with --allow-uid while the
  // service runs count from their first use on.
  std::string refusal(std::int64_t user_id, long uid);

  // What the user `uid`, refused by refusal(), can do about it: the errtext
  // for a login to `account` that gave the right password. Empty when
  // nothing can be done (an unknown uid).
  std::string advice(const std::string& account, long uid) const;

 private:
  bool listed(std::int64_t user_id, uid_t uid) const;

  Catalog& catalog_;
  const bool act_for_others_;
  const uid_t self_;
  std::mutex mu_;
  std::unordered_map<std::int64_t, std::vector<std::uint32_t>> known_;  // by account
};

// Binds every account that has no uid to `owner` (the owner of the storage
// root) and logs it; returns how many were bound.
int bind_unbound_accounts(Catalog& catalog, uid_t owner);

#endif  // BREVANTO_SERVICE_ACCOUNTS_ACCOUNT_UIDS_H_
