#include "service/accounts/account_quotas.h"

#include <sqlite3.h>

#include <cstdlib>

AccountQuotas::AccountQuotas(const std::string& accounts_file, Quota defaults, bool read_only)
    : db_(accounts_file, read_only), defaults_(std::move(defaults)) {
  sqlite3_busy_timeout(db_.handle(), 10000);  // the service and --add-user share the file
  if (!read_only) {
    db_.exec("CREATE TABLE IF NOT EXISTS quotas(user_id INTEGER PRIMARY KEY, bytes INTEGER,"
             " files INTEGER)");
    return;
  }
  SqliteDb::Statement st(db_, "SELECT 1 FROM sqlite_master WHERE name = 'quotas'");
  has_table_ = st.step();
}

bool AccountQuotas::set(const std::string& name, std::optional<std::int64_t> bytes,
                        std::optional<std::int64_t> files) {
  std::lock_guard<std::mutex> lock(mu_);
  SqliteDb::Transaction transaction(db_);
  std::int64_t user_id = 0;
  {
    SqliteDb::Statement st(db_, "SELECT id FROM users WHERE name = ?1");
    st.bind(1, name);
    if (!st.step()) return false;
    user_id = st.int64(0);
  }
  SqliteDb::Statement(db_, "INSERT OR IGNORE INTO quotas(user_id) VALUES(?1)")
      .bind(1, user_id)
      .run();
  if (bytes) {
    SqliteDb::Statement(db_, "UPDATE quotas SET bytes = ?2 WHERE user_id = ?1")
        .bind(1, user_id)
        .bind(2, *bytes)
        .run();
  }
  if (files) {
    SqliteDb::Statement(db_, "UPDATE quotas SET files = ?2 WHERE user_id = ?1")
        .bind(1, user_id)
        .bind(2, *files)
        .run();
  }
  transaction.commit();
  read_.clear();
  return true;
}

Quota AccountQuotas::with_defaults(const std::string& name, SqliteDb::Statement& st, int first) {
  Quota quota = defaults_;
  quota.account = name;
  if (has_table_ && !st.is_null(first)) quota.bytes = st.int64(first);
  if (has_table_ && !st.is_null(first + 1)) quota.entries = st.int64(first + 1);
  return quota;
}

Quota AccountQuotas::of(std::int64_t user_id) {
  std::lock_guard<std::mutex> lock(mu_);
  if (reads_still_hold()) {
    const auto found = read_.find(user_id);
    if (found != read_.end()) return found->second;
  }
  Quota quota = read(user_id);
  read_.emplace(user_id, quota);
  return quota;
}

bool AccountQuotas::reads_still_hold() {
  const auto now = std::chrono::steady_clock::now();
  if (now - read_at_ < kKept) return true;
  read_.clear();
  read_at_ = now;
  return false;
}

Quota AccountQuotas::read(std::int64_t user_id) {
  SqliteDb::Statement st(db_, has_table_
                                  ? "SELECT u.name, q.bytes, q.files FROM users u LEFT JOIN quotas"
                                    " q ON q.user_id = u.id WHERE u.id = ?1"
                                  : "SELECT name, NULL, NULL FROM users WHERE id = ?1");
  st.bind(1, user_id);
  if (!st.step()) {
    Quota quota = defaults_;
    quota.account = "#" + std::to_string(user_id);
    return quota;
  }
  return with_defaults(st.text(0), st, 1);
}

std::vector<AccountQuotas::Account> AccountQuotas::all() {
  std::lock_guard<std::mutex> lock(mu_);
  SqliteDb::Statement st(db_, has_table_
                                  ? "SELECT u.id, u.name, q.bytes, q.files FROM users u LEFT JOIN"
                                    " quotas q ON q.user_id = u.id ORDER BY u.id"
                                  : "SELECT id, name, NULL, NULL FROM users ORDER BY id");
  std::vector<Account> out;
  while (st.step()) out.push_back(Account{st.int64(0), with_defaults(st.text(1), st, 2)});
  return out;
}

bool parse_size(const std::string& text, std::int64_t* bytes) {
  char* end = nullptr;
  const long long n = std::strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || n < 0 || text[0] == '-' || text[0] == '+') return false;
  std::int64_t unit = 1;
  if (*end != '\0') {
    static const char kUnits[] = "KMGT";
    for (int i = 0; kUnits[i] != '\0'; ++i) {
      if (*end == kUnits[i]) unit = std::int64_t{1} << (10 * (i + 1));
    }
    if (unit == 1 || end[1] != '\0') return false;
  }
  if (n > INT64_MAX / unit) return false;
  *bytes = n * unit;
  return true;
}
