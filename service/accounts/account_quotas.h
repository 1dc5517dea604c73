// Each account's quota (see Quota in store/file_catalog.h), kept in the
// accounts catalog as quotas(user_id, bytes, files), a NULL meaning the
// service's default. Its own connection to the catalog file, so that
// `--add-user NAME --quota-bytes N` can set it while the service serves.
// A quota read is kept for a second, so that a new quota counts within a
// second without every upload reading the catalog (with its file locks).
#ifndef BREVANTO_SERVICE_ACCOUNTS_ACCOUNT_QUOTAS_H_
#define BREVANTO_SERVICE_ACCOUNTS_ACCOUNT_QUOTAS_H_

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "service/store/file_catalog.h"
#include "service/store/sqlite_db.h"

class AccountQuotas {
 public:
  // `defaults` holds for an account without a quota of its own. A
  // read-only catalog is only read (no quota set: the defaults).
  AccountQuotas(const std::string& accounts_file, Quota defaults, bool read_only = false);

  // Sets the account's quota (a value not given stays as it is); false
  // when there is no such account.
  bool set(const std::string& name, std::optional<std::int64_t> bytes,
           std::optional<std::int64_t> files);
  // The account's quota, its name in `account`.
  Quota of(std::int64_t user_id);

  struct Account {
    std::int64_t user_id = 0;
    Quota quota;
  };
  // Every account, by id.
  std::vector<Account> all();

 private:
  Quota with_defaults(const std::string& name, SqliteDb::Statement& st, int first);
  Quota read(std::int64_t user_id);
  // True while what was read may still be used; else forgets it.
  bool reads_still_hold();

  std::mutex mu_;
  SqliteDb db_;
  static constexpr std::chrono::seconds kKept{1};
  std::chrono::steady_clock::time_point read_at_;
  std::unordered_map<std::int64_t, Quota> read_;
  Quota defaults_;
  bool has_table_ = true;
};

// Parses a size: digits with an optional K, M, G or T (powers of 1024);
// false when it is none.
bool parse_size(const std::string& text, std::int64_t* bytes);

#endif  // BREVANTO_SERVICE_ACCOUNTS_ACCOUNT_QUOTAS_H_
