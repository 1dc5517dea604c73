// One PostgreSQL connection (libpq) with a cache of prepared statements,
// for the shared catalog. Not thread-safe: callers serialise their use.
// Failures throw PgError: a ServiceError(kInternal) that carries the
// server's SQLSTATE, so that callers can retry serialization failures.
#ifndef BREVANTO_SERVICE_STORE_PG_CONNECTION_H_
#define BREVANTO_SERVICE_STORE_PG_CONNECTION_H_

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>

#include "service/errors.h"

struct pg_conn;
struct pg_result;

class PgError : public ServiceError {
 public:
  PgError(std::string sqlstate, const std::string& detail)
      : ServiceError(kInternal, detail), sqlstate_(std::move(sqlstate)) {}
  // Five characters ("40001"); empty when the connection failed.
  const std::string& sqlstate() const { return sqlstate_; }
  // A failure that running the transaction again may not meet: a
  // serialization failure, a deadlock, or a unique key that a concurrent
  // transaction took between our look and our insert.
  bool retryable() const {
    return sqlstate_ == "40001" || sqlstate_ == "40P01" || sqlstate_ == "23505";
  }

 private:
  std::string sqlstate_;
};

// A parameter: text (numbers are sent as their decimal text), bytes
// (bytea, sent in binary), or NULL.
struct PgParam {
  PgParam(std::int64_t number) : value(std::to_string(number)) {}  // NOLINT
  PgParam(int number) : value(std::to_string(number)) {}           // NOLINT
  PgParam(std::string_view text) : value(text) {}                  // NOLINT
  PgParam(const std::string& text) : value(text) {}                // NOLINT
  PgParam(const char* text) : value(text) {}                       // NOLINT
  static PgParam bytes(std::string_view data) {
    PgParam p(data);
    p.binary = true;
    return p;
  }
  static PgParam null() {
    PgParam p("");
    p.is_null = true;
    return p;
  }
  std::string value;
  bool binary = false;
  bool is_null = false;
};

class PgResult {
 public:
  explicit PgResult(pg_result* result) : result_(result) {}
  ~PgResult();
  PgResult(PgResult&& other) noexcept : result_(other.result_) { other.result_ = nullptr; }
  PgResult(const PgResult&) = delete;
  PgResult& operator=(const PgResult&) = delete;

  int rows() const;
  // Rows an INSERT, UPDATE or DELETE touched.
  std::int64_t affected() const;
  bool is_null(int row, int column) const;
  std::string text(int row, int column) const;
  std::int64_t int64(int row, int column) const;
  bool boolean(int row, int column) const { return text(row, column) == "t"; }
  // A bytea column's bytes.
  std::string bytes(int row, int column) const;

 private:
  pg_result* result_;
};

class PgConnection {
 public:
  // Connects with a libpq connection string ("postgresql://..." or
  // "host=... dbname=..."). Throws PgError when it cannot.
  explicit PgConnection(const std::string& conninfo);
  ~PgConnection();
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  // Runs `sql` ($1, $2... for the parameters), prepared on first use (the
  // SQL texts are literals, so their address names them).
  PgResult run(const char* sql, std::initializer_list<PgParam> params = {});
  // Runs one or more statements without parameters and unprepared.
  void exec(const std::string& sql);
  // Whether the connection was lost (the server went away, the network
  // failed): every call fails from then on.
  bool broken() const;

 private:
  PgResult check(pg_result* result, const char* what);

  pg_conn* conn_ = nullptr;
  std::unordered_map<const char*, std::string> prepared_;
};

#endif  // BREVANTO_SERVICE_STORE_PG_CONNECTION_H_
