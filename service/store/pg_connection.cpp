#include "service/store/pg_connection.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <memory>
#include <vector>

namespace {

PgError error_of(pg_conn* conn, pg_result* result, const char* what) {
  std::string state;
  std::string message;
  if (result != nullptr) {
    const char* code = PQresultErrorField(result, PG_DIAG_SQLSTATE);
    if (code != nullptr) state = code;
    message = PQresultErrorMessage(result);
  }
  if (message.empty()) message = PQerrorMessage(conn);
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  return PgError(state, std::string("catalog database: ") + what + ": " + message);
}

}  // namespace

PgResult::~PgResult() {
  if (result_ != nullptr) PQclear(result_);
}

int PgResult::rows() const { return PQntuples(result_); }

std::int64_t PgResult::affected() const {
  const char* n = PQcmdTuples(result_);
  return n == nullptr || *n == '\0' ? 0 : std::strtoll(n, nullptr, 10);
}

bool PgResult::is_null(int row, int column) const {
  return PQgetisnull(result_, row, column) != 0;
}

std::string PgResult::text(int row, int column) const {
  return std::string(PQgetvalue(result_, row, column),
                     static_cast<std::size_t>(PQgetlength(result_, row, column)));
}

std::int64_t PgResult::int64(int row, int column) const {
  return std::strtoll(PQgetvalue(result_, row, column), nullptr, 10);
}

std::string PgResult::bytes(int row, int column) const {
  if (is_null(row, column)) return std::string();
  std::size_t length = 0;
  unsigned char* raw = PQunescapeBytea(
      reinterpret_cast<const unsigned char*>(PQgetvalue(result_, row, column)), &length);
  if (raw == nullptr) throw ServiceError(kInternal, "catalog database: bytea out of memory");
  std::string out(reinterpret_cast<const char*>(raw), length);
  PQfreemem(raw);
  return out;
}

PgConnection::PgConnection(const std::string& conninfo) {
  conn_ = PQconnectdb(conninfo.c_str());
  if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
    PgError error = error_of(conn_, nullptr, "connect");
    if (conn_ != nullptr) PQfinish(conn_);
    conn_ = nullptr;
    throw error;
  }
  // Warnings of the server (e.g. "there is no transaction in progress")
  // are not the service's to print.
  PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
}

PgConnection::~PgConnection() {
  if (conn_ != nullptr) PQfinish(conn_);
}

PgResult PgConnection::check(pg_result* result, const char* what) {
  const ExecStatusType status = result == nullptr ? PGRES_FATAL_ERROR : PQresultStatus(result);
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return PgResult(result);
  PgError error = error_of(conn_, result, what);
  if (result != nullptr) PQclear(result);
  throw error;
}

PgResult PgConnection::run(const char* sql, std::initializer_list<PgParam> params) {
  auto found = prepared_.find(sql);
  if (found == prepared_.end()) {
    const std::string name = "s" + std::to_string(prepared_.size());
    check(PQprepare(conn_, name.c_str(), sql, 0, nullptr), sql);
    found = prepared_.emplace(sql, name).first;
  }
  std::vector<const char*> values;
  std::vector<int> lengths;
  std::vector<int> formats;
  for (const PgParam& p : params) {
    values.push_back(p.is_null ? nullptr : p.value.data());
    lengths.push_back(static_cast<int>(p.value.size()));
    formats.push_back(p.binary ? 1 : 0);
  }
  return check(PQexecPrepared(conn_, found->second.c_str(), static_cast<int>(values.size()),
                              values.data(), lengths.data(), formats.data(), 0),
               sql);
}

bool PgConnection::broken() const { return PQstatus(conn_) == CONNECTION_BAD; }

void PgConnection::exec(const std::string& sql) { check(PQexec(conn_, sql.c_str()), sql.c_str()); }
