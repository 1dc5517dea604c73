// The command line of brevanto-service, parsed with CLI11: every option
// takes "--name VALUE" and "--name=VALUE".
#ifndef BREVANTO_SERVICE_OPTIONS_H_
#define BREVANTO_SERVICE_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "service/log.h"
#include "service/store/retention.h"

struct Options {
  std::string root;                     // --root DIR (required)
  std::uint16_t port = 11001;           // --port N (0: any free port)
  std::string port_file;                // --port-file FILE
  std::vector<std::string> local_roots; // --local-root DIR, repeatable (none: "/")
  std::string add_user;                 // --add-user NAME
  bool check = false;                   // the "check" subcommand
  bool stats = false;                   // the "stats" subcommand
  bool read_only = false;               // --read-only
  // --content-key FILE: contents encrypted at rest, their account keys
  // wrapped by the key in FILE (empty: contents stored as they are)
  std::string content_key;
  // --contents rados://POOL?conf=...: where large contents go (see
  // store/rados_target.h); empty: the folder <root>/store/content
  std::string contents;
  std::string catalog;                  // --catalog CONNINFO (PostgreSQL; empty: SQLite)
  // --quota-bytes SIZE, --quota-files N: with --add-user the account's
  // quota, else the default of accounts without one of their own (0: none)
  std::optional<std::int64_t> quota_bytes;
  std::optional<std::int64_t> quota_files;
  std::vector<std::uint32_t> allow_uids; // --allow-uid UID, repeatable (with --add-user)
  LogLevel log_level = LogLevel::kWarn; // --log-level error|warn|info
  unsigned login_grace = 10;            // --login-grace SECONDS (0: none)
  unsigned idle_timeout = 900;          // --idle-timeout SECONDS (0: none)
  unsigned max_pending = 64;            // --max-pending N
  unsigned max_sessions = 64;           // --max-sessions N
  unsigned ids_per_user = 1024;         // --ids-per-user N
  unsigned lockout = 300;               // --lockout SECONDS
  // --keep-last, --keep-daily, --keep-weekly, --keep-monthly N,
  // --keep-within DURATION: which points of each tree are kept
  RetentionPolicy retention;
};

// Parses argv. -1 when the service is to run; otherwise the exit code, the
// help or version text having gone to stdout (0) or the error to stderr
// (2, a bad command line).
int parse_options(int argc, const char* const* argv, Options* options);

// The version, from the project's CMake version.
const char* service_version();

#endif  // BREVANTO_SERVICE_OPTIONS_H_
