#include "service/options.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>

#include "service/accounts/account_quotas.h"
#include "service/store/rados_target.h"

const char* service_version() { return BREVANTO_VERSION; }

int parse_options(int argc, const char* const* argv, Options* options) {
  CLI::App app("brevanto-service: the local service of Brevanto clients (127.0.0.1 only)",
               "brevanto-service");
  app.set_version_flag("--version", std::string("brevanto-service ") + service_version());
  app.add_option("--root", options->root,
                 "storage root: catalog.sqlite3 and the users' trees (made 0700 if missing)")
      ->type_name("DIR")
      ->required();
  app.add_option("--local-root", options->local_roots,
                 "serve local files below DIR only (repeatable); without it every absolute path is "
                 "served, each client's own rights deciding")
      ->type_name("DIR");
  app.add_option("--port", options->port, "TCP port on 127.0.0.1 (0: any free port)")
      ->type_name("N")
      ->capture_default_str();
  app.add_option("--port-file", options->port_file, "write the port to FILE once listening")
      ->type_name("FILE");
  CLI::Option* add_user =
      app.add_option("--add-user", options->add_user,
                     "add a user and exit, reading the password from stdin; it may be used by "
                     "the Linux user running this, or those of --allow-uid")
          ->type_name("NAME");
  app.add_option("--allow-uid", options->allow_uids,
                 "with --add-user: the Linux user UID may use the account (repeatable); for an "
                 "existing account, adds UID without asking for the password")
      ->type_name("UID")
      ->check(CLI::Range(0u, 4294967294u).description(""))
      ->needs(add_user);
  std::string level = "warn";
  app.add_option("--log-level", level, "error, warn or info: how much the log says")
      ->type_name("LEVEL")
      ->check(CLI::IsMember({"error", "warn", "info"}).description(""))
      ->capture_default_str()
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  const auto limit = [&](const char* name, unsigned* value, const char* text, unsigned low) {
    app.add_option(name, *value, text)
        ->type_name(std::strstr(text, "seconds") != nullptr ? "S" : "N")
        ->check(CLI::Range(low, 1000000u).description(""))
        ->capture_default_str()
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  };
  limit("--login-grace", &options->login_grace,
        "close a connection not logged in after this many seconds (0: never)", 0);
  limit("--idle-timeout", &options->idle_timeout,
        "close a logged-in connection idle for this many seconds (0: never)", 0);
  limit("--max-pending", &options->max_pending, "connections not logged in at a time", 1);
  limit("--max-sessions", &options->max_sessions, "logged-in connections at a time", 1);
  limit("--ids-per-user", &options->ids_per_user, "ClientIDs kept per user", 1);
  limit("--lockout", &options->lockout,
        "lock-out of a name after repeated failed logins, in seconds", 1);
  const auto keep = [&](const char* name, int* value, const char* text) {
    app.add_option(name, *value, text)
        ->type_name("N")
        ->check(CLI::Range(0, 1000000).description(""))
        ->capture_default_str()
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
        ->group("Earlier versions (see README.md)");
  };
  keep("--keep-last", &options->retention.last, "keep the newest N points of each tree");
  keep("--keep-daily", &options->retention.daily, "keep the last point of each of N days");
  keep("--keep-weekly", &options->retention.weekly, "keep the last point of each of N weeks");
  keep("--keep-monthly", &options->retention.monthly, "keep the last point of each of N months");
  app.add_subcommand("check",
                     "read every stored content, hash it and compare with the catalog, then "
                     "exit (the service must be stopped): 0 when all is well, 1 otherwise")
      ->callback([options] { options->check = true; });
  app.add_subcommand("stats",
                     "print what each account holds against its quota, a line each, then exit "
                     "(the service must be stopped)")
      ->callback([options] { options->stats = true; });
  app.add_option("--catalog", options->catalog,
                 "keep the catalog of stored trees in this PostgreSQL database (a libpq "
                 "connection string, e.g. postgresql://host/db), shared with other services; "
                 "without it the catalog is ROOT/store/catalog.sqlite3")
      ->type_name("CONNINFO");
  app.add_flag("--read-only", options->read_only,
               "serve the storage root without changing it: listings, file information and "
               "downloads work, every change is refused");
  app.add_option("--content-key", options->content_key,
                 "encrypt stored contents with a key per account, kept wrapped by the key in "
                 "FILE (32 bytes, mode 0600, made when missing); off by default. Once used, "
                 "the storage root is served with it only")
      ->type_name("FILE");
  app.add_option("--contents", options->contents,
                 "keep large contents in a RADOS pool shared with other services: "
                 "rados://POOL?conf=/etc/ceph/ceph.conf[&ns=NAMESPACE][&id=CLIENT][&timeout=S] "
                 "(default: the folder store/content of the root)")
      ->type_name("URL");
  std::string quota_bytes, quota_files;
  app.add_option("--quota-bytes", quota_bytes,
                 "the most an account may store, in bytes (suffix K, M, G or T; 0: no limit): "
                 "with --add-user that account's, else the default")
      ->type_name("SIZE")
      ->group("Quotas (see README.md)");
  app.add_option("--quota-files", quota_files,
                 "the most files and folders (current and past versions) an account may hold "
                 "(0: no limit): with --add-user that account's, else the default")
      ->type_name("N")
      ->group("Quotas (see README.md)");
  std::string within = "7d";
  app.add_option("--keep-within", within, "keep every point younger than this (30m, 12h, 7d, 2w, 1y)")
      ->type_name("DURATION")
      ->capture_default_str()
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
      ->group("Earlier versions (see README.md)");
  try {
    app.parse(argc, argv);
    if (!parse_duration(within, &options->retention.within_seconds)) {
      throw CLI::ValidationError("--keep-within: not a duration: " + within);
    }
    parse_log_level(level, &options->log_level);
    std::int64_t value = 0;
    if (!quota_bytes.empty()) {
      if (!parse_size(quota_bytes, &value)) {
        throw CLI::ValidationError("--quota-bytes: not a size: " + quota_bytes);
      }
      options->quota_bytes = value;
    }
    if (!quota_files.empty()) {
      if (!parse_size(quota_files, &value) || quota_files.find_first_not_of("0123456789") !=
                                                   std::string::npos) {
        throw CLI::ValidationError("--quota-files: not a number: " + quota_files);
      }
      options->quota_files = value;
    }
    if (!options->contents.empty()) {
      RadosTarget target;
      std::string why;
      if (!parse_rados_target(options->contents, &target, &why)) {
        throw CLI::ValidationError("--contents: " + why);
      }
#ifndef BREVANTO_HAVE_RADOS
      throw CLI::ValidationError("--contents: this service was built without librados");
#endif
    }
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help, --version
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "brevanto-service: %s\nRun with --help for more information.\n",
                 e.what());
    return 2;
  }
  return -1;
}
