// User accounts: names with salted password hashes (libsodium
// crypto_pwhash_str, interactive limits) kept in the catalog, each bound to
// the Linux users who may use it (account_uids.h).
#ifndef BREVANTO_SERVICE_ACCOUNTS_ACCOUNTS_H_
#define BREVANTO_SERVICE_ACCOUNTS_ACCOUNTS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class AccountUids;
class Catalog;

// 1 to 64 bytes of valid UTF-8 with no control byte and no double quote.
bool valid_user_name(const std::string& name);

// Stores `name` with a hash of `password`, bound to the Linux users `uids`
// (see account_uids.h). False when the name is taken. Throws ServiceError
// when hashing or the catalog fails.
bool add_user(Catalog& catalog, const std::string& name, const std::string& password,
              const std::vector<std::uint32_t>& uids = {});

// The user's id when `name` exists and `password` matches its hash. An
// unknown name costs as much time as a wrong password. A password that
// matched in the last minutes is checked again in microseconds; any other
// pays the full hash. At most two hashes
// run at a time (each takes 64 MiB); a `suspect` check (a name that failed
// recently) and the check of an unknown name wait until no other check is
// queued.
std::optional<std::int64_t> check_login(Catalog& catalog, const std::string& name,
                                        const std::string& password, bool suspect = false);

// check_login() for the Linux user `uid` (-1: unknown), who must be allowed
// to use the account (see account_uids.h). A login from a uid that may not
// use the account is checked against the account's hash first, as a
// suspect, and refused either way. `refused` says why, for the log only.
// `advice` is the errtext the client gets instead of the usual one: only
// for the right password from such a uid (what to ask the administrator),
// so a client without the password hears the same whatever the reason.
struct LoginCheck {
  std::optional<std::int64_t> user_id;
  std::string refused;  // empty on success
  std::string advice;   // empty: the usual errtext
};
LoginCheck check_login_as(Catalog& catalog, AccountUids& uids, long uid, const std::string& name,
                          const std::string& password, bool suspect);

#endif  // BREVANTO_SERVICE_ACCOUNTS_ACCOUNTS_H_
