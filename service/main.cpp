// brevanto-service: the local service that a Brevanto client of interface
// type 0 talks to over TCP on 127.0.0.1. See README.md.
#include <fcntl.h>
#include <pwd.h>
#include <sodium.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "service/accounts/account_quotas.h"
#include "service/accounts/account_uids.h"
#include "service/accounts/accounts.h"
#include "service/store/catalog.h"
#include "service/net/client_registry.h"
#include "service/net/connection_table.h"
#include "service/local/local_paths.h"
#include "service/local/local_user.h"
#include "service/accounts/login_throttle.h"
#include "service/log.h"
#include "service/options.h"
#include "service/requests/service_routes.h"
#include "service/accounts/password_input.h"
#include "service/net/server.h"
#include "service/service_context.h"
#include "service/net/stop_signal.h"
#include "service/store/encrypted_content_store.h"
#include "service/store/folder_content_store.h"
#include "service/store/rados_target.h"
#ifdef BREVANTO_HAVE_RADOS
#include "service/store/rados_content_store.h"
#endif
#include "service/store/older_layout/migration.h"
#ifdef BREVANTO_WITH_PG
#include "service/store/pg_file_catalog.h"
#include "service/store/pg_key_shelf.h"
#endif
#include "service/store/sqlite_file_catalog.h"
#include "service/store/store.h"
#include "service/store/store_check.h"
#include "service/store/temp_cleanup.h"
#include "service/unique_fd.h"

namespace {

// Opens directory `name` below `dir_fd` (AT_FDCWD for a path), making it
// first if missing.
UniqueFd open_or_make_dir(int dir_fd, const std::string& name) {
  const bool made = ::mkdirat(dir_fd, name.c_str(), 0700) == 0;
  if (!made && errno != EEXIST) {
    throw std::runtime_error("mkdir " + name + ": " + std::strerror(errno));
  }
  UniqueFd fd(::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) throw std::runtime_error("open " + name + ": " + std::strerror(errno));
  if (made) {
    // The new folder's entry is made durable, or a power cut could take
    // the whole store with it.
    const UniqueFd parent(::openat(fd.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.valid() || ::fsync(parent.get()) != 0) {
      throw std::runtime_error("sync the folder holding " + name + ": " + std::strerror(errno));
    }
  }
  return fd;
}

// The path of `path` with every link resolved, for checks by path later.
std::string real_path(const std::string& path) {
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer) == nullptr) {
    throw std::runtime_error("realpath " + path + ": " + std::strerror(errno));
  }
  return buffer;
}

std::string uid_list(const std::vector<std::uint32_t>& uids) {
  std::string text;
  for (const std::uint32_t uid : uids) text += (text.empty() ? "" : ", ") + std::to_string(uid);
  return text;
}

// "0 (root), 1000 (ann)": each uid with its user's name where it has one.
std::string named_uid_list(const std::vector<std::uint32_t>& uids) {
  std::string text;
  for (const std::uint32_t uid : uids) {
    text += (text.empty() ? "" : ", ") + std::to_string(uid);
    if (const struct passwd* pw = ::getpwuid(uid)) text += std::string(" (") + pw->pw_name + ")";
  }
  return text;
}

// Says on stdout which Linux users may use the account `name` now, and
// warns when that is root alone and no --allow-uid was given
// (`uids_given`): the usual slip of a setup run with sudo, after which the
// real user's logins are refused.
void report_bound_uids(Catalog& catalog, const std::string& name, bool uids_given) {
  const auto user = catalog.find_user(name);
  if (!user) return;
  const std::vector<std::uint32_t> uids = catalog.user_uids(user->id);
  std::printf("account %s: bound to uid%s %s; add --allow-uid UID for another user\n",
              log_safe(name).c_str(), uids.size() == 1 ? "" : "s", named_uid_list(uids).c_str());
  std::fflush(stdout);
  if (uids_given || uids != std::vector<std::uint32_t>{0}) return;
  const char* sudo_uid = std::getenv("SUDO_UID");
  const std::string example =
      sudo_uid != nullptr && *sudo_uid != '\0' ? sudo_uid : std::string("\"$(id -u USER)\"");
  std::fprintf(stderr,
               "brevanto-service: warning: account %s is bound to root only: the logins of "
               "every other Linux user will be refused; to let one use it, run again with "
               "the same --root and --add-user %s --allow-uid %s\n",
               log_safe(name).c_str(), log_safe(name).c_str(), example.c_str());
}

// Adds the account `name` for the Linux users `uids` (none given: the one
// running this), or lets `uids` use an existing account, without asking
// for its password.
int run_add_user(Catalog& catalog, const Options& options) {
  const std::string& name = options.add_user;
  std::vector<std::uint32_t> uids = options.allow_uids;
  if (!valid_user_name(name)) {
    std::fprintf(stderr, "brevanto-service: invalid user name\n");
    return 1;
  }
  // A quota given with --add-user is the account's own.
  const bool quota = options.quota_bytes || options.quota_files;
  const auto set_quota = [&] {
    if (!quota) return;
    AccountQuotas quotas(options.root + "/catalog.sqlite3", Quota{});
    quotas.set(name, options.quota_bytes, options.quota_files);
    const Quota now = quotas.of(catalog.find_user(name)->id);
    log_always("user %s may store %s bytes and %s files", log_safe(name).c_str(),
               now.bytes > 0 ? std::to_string(now.bytes).c_str() : "any number of",
               now.entries > 0 ? std::to_string(now.entries).c_str() : "any number of");
  };
  if (!uids.empty() && catalog.allow_uids(name, uids)) {
    log_always("uid %s may use user %s", uid_list(uids).c_str(), log_safe(name).c_str());
    report_bound_uids(catalog, name, !options.allow_uids.empty());
    set_quota();
    return 0;
  }
  if (quota && catalog.find_user(name)) {
    set_quota();
    return 0;
  }
  if (uids.empty()) uids.push_back(::getuid());
  std::string password;
  const bool read = read_password(&password);
  if (!read || password.empty()) {
    std::fprintf(stderr, "brevanto-service: no password given on stdin\n");
    return 1;
  }
  const bool added = add_user(catalog, name, password, uids);
  sodium_memzero(&password[0], password.size());
  if (!added) {
    std::fprintf(stderr, "brevanto-service: user %s exists already\n", log_safe(name).c_str());
    return 1;
  }
  log_always("added user %s for uid %s", log_safe(name).c_str(), uid_list(uids).c_str());
  report_bound_uids(catalog, name, !options.allow_uids.empty());
  set_quota();
  return 0;
}

// Writes the port number to `path` through a rename, so a reader never
// sees a partial file.
void write_port_file(const std::string& path, std::uint16_t port) {
  const std::string temp = path + ".tmp";
  FILE* file = std::fopen(temp.c_str(), "w");
  if (file == nullptr || std::fprintf(file, "%u\n", port) < 0 || std::fclose(file) != 0 ||
      std::rename(temp.c_str(), path.c_str()) != 0) {
    throw std::runtime_error("cannot write port file " + path);
  }
}

// Takes ROOT/service.lock, so that no second service sweeps away the temp
// files of this one's transfers. The kernel drops the lock with the process.
// A service serving the root read-only shares the lock with others like it
// (none writes), where the file exists: a read-only root cannot take a new
// one.
UniqueFd lock_root(int root_fd, bool read_only = false) {
  UniqueFd lock(::openat(root_fd, "service.lock",
                         (read_only ? O_RDONLY : O_RDWR | O_CREAT) | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock.valid() && read_only && errno == ENOENT) return lock;
  if (!lock.valid()) throw std::runtime_error(std::string("service.lock: ") + std::strerror(errno));
  if (::flock(lock.get(), (read_only ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
    throw std::runtime_error("another service is using this storage root");
  }
  return lock;
}

// The store's folder; a read-only root must have one.
UniqueFd open_store_dir(int root_fd, bool read_only) {
  if (!read_only) return open_or_make_dir(root_fd, "store");
  UniqueFd fd(::openat(root_fd, "store", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) {
    throw std::runtime_error(std::string("no store to serve read-only: store: ") +
                             std::strerror(errno));
  }
  return fd;
}

// The content store: the folder store/content of the root, or the RADOS
// pool of --contents, whose local files go to the store's folder (as
// unlinked files, so that nothing is left there). `store_dir` must outlive
// it.
std::unique_ptr<ContentStore> open_contents(const Options& options, int store_dir,
                                            bool read_only) {
  if (options.contents.empty()) {
    return std::make_unique<FolderContentStore>(store_dir, "content",
                                                real_path(options.root) + "/store", read_only);
  }
#ifdef BREVANTO_HAVE_RADOS
  RadosTarget target;
  std::string why;
  if (!parse_rados_target(options.contents, &target, &why)) throw std::runtime_error(why);
  auto contents = std::make_unique<RadosContentStore>(target, store_dir);
  log_always("contents in RADOS pool %s%s%s", target.pool.c_str(),
             target.ns.empty() ? "" : ", namespace ", target.ns.c_str());
  return contents;
#else
  throw std::runtime_error("built without librados: no --contents");
#endif
}

// Marks a store whose contents are encrypted, so that it is never served
// without its key (which would hand out the encrypted bytes as contents)
// and plain contents never meet encrypted ones.
constexpr char kEncryptedMarker[] = "content-encrypted";

// With --content-key, the contents of `inner` seen through their
// encryption; null without it. Throws when the option and the store
// disagree.
std::unique_ptr<EncryptedContentStore> encrypted_contents(const Options& options, int store_fd,
                                                          ContentStore& inner, bool read_only) {
  struct stat st;
  const bool marked = ::fstatat(store_fd, kEncryptedMarker, &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (options.content_key.empty()) {
    if (marked) {
      throw std::runtime_error("the contents of this storage root are encrypted (store/" +
                               std::string(kEncryptedMarker) + "): give --content-key FILE");
    }
    return nullptr;
  }
  // With a shared catalog the account keys are kept in it, so that every
  // service sharing the contents uses one key per account.
  std::unique_ptr<SharedKeyShelf> shelf;
#ifdef BREVANTO_WITH_PG
  if (!options.catalog.empty()) shelf = std::make_unique<PgKeyShelf>(options.catalog);
#endif
  auto encrypted = std::make_unique<EncryptedContentStore>(inner, options.content_key, store_fd,
                                                           read_only, std::move(shelf));
  if (marked) return encrypted;
  bool plain_contents = false;
  inner.sweep([&](std::int64_t, const std::string&) { plain_contents = true; });
  if (plain_contents) {
    throw std::runtime_error("--content-key: this storage root holds contents stored without "
                             "encryption; serve it without --content-key");
  }
  if (!read_only) {
    const UniqueFd marker(::openat(store_fd, kEncryptedMarker,
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    const char kText[] = "contents encrypted: XChaCha20-Poly1305 secretstream, account keys\n";
    if (!marker.valid() || ::write(marker.get(), kText, sizeof(kText) - 1) < 0 ||
        ::fsync(marker.get()) != 0 || ::fsync(store_fd) != 0) {
      throw std::runtime_error(std::string("cannot mark the store as encrypted: ") +
                               std::strerror(errno));
    }
  }
  return encrypted;
}

// The catalog of stored trees: the database that --catalog names, shared
// with other services, or the root's SQLite file.
std::unique_ptr<FileCatalog> open_file_catalog(const Options& options, bool read_only) {
  if (options.catalog.empty()) {
    return std::make_unique<SqliteFileCatalog>(options.root + "/store/catalog.sqlite3", read_only);
  }
#ifdef BREVANTO_WITH_PG
  return std::make_unique<PgFileCatalog>(options.catalog);
#else
  throw std::runtime_error("--catalog: this service was built without PostgreSQL (libpq)");
#endif
}

Quota default_quota(const Options& options) {
  Quota quota;
  quota.bytes = options.quota_bytes.value_or(0);
  quota.entries = options.quota_files.value_or(0);
  return quota;
}

int serve(const Options& options, Catalog& catalog, int root_fd) {
  const bool read_only = options.read_only;
  const UniqueFd lock = lock_root(root_fd, read_only);
  const LocalRoots local_roots(options.local_roots, options.root);
  if (!install_stop_handlers()) throw std::runtime_error("cannot create the stop pipe");

  const UniqueFd store_dir = open_store_dir(root_fd, read_only);
  const std::unique_ptr<FileCatalog> catalog_of_trees = open_file_catalog(options, read_only);
  FileCatalog& files = *catalog_of_trees;
  const std::unique_ptr<ContentStore> stored = open_contents(options, store_dir.get(), read_only);
  const std::unique_ptr<EncryptedContentStore> encrypted =
      encrypted_contents(options, store_dir.get(), *stored, read_only);
  ContentStore& contents = encrypted ? static_cast<ContentStore&>(*encrypted) : *stored;
  if (encrypted) log_always("contents are encrypted at rest (key %s)", options.content_key.c_str());
  AccountQuotas quotas(options.root + "/catalog.sqlite3", default_quota(options), read_only);
  Store store(files, contents, options.retention);
  if (read_only) {
    store.set_read_only();
    struct stat st;
    if (::fstatat(root_fd, "data", &st, AT_SYMLINK_NOFOLLOW) == 0) {
      log_warn("the files of the older layout (data) are not served read-only: serve the root "
               "once without --read-only to move them into the store");
    }
    log_always("serving the storage root read-only: every change is refused");
  } else {
    // Contents a crash left without a row, and unfinished writes, go.
    int orphans = 0;
    // (Where services share the catalog, a content another one's upload
    // claims is left alone.)
    contents.sweep([&](std::int64_t user_id, const std::string& sha256) {
      if (files.delete_unneeded(FileCatalog::Doomed{user_id, sha256},
                                [&] { return contents.remove(user_id, sha256) == 0; })) {
        ++orphans;
      }
    });
    if (orphans > 0) log_warn("removed %d content(s) that a crash left unused", orphans);
    if (auto* own = dynamic_cast<SqliteFileCatalog*>(&files)) {
      migrate_old_layout(root_fd, catalog, *own, store);
    } else if (struct stat st; ::fstatat(root_fd, "data", &st, AT_SYMLINK_NOFOLLOW) == 0) {
      log_warn("the files of the older layout (data) move into the store only with the root's "
               "own catalog: serve the root once without --catalog");
    }
    const int local_temps = remove_stale_local_temps(catalog);
    if (local_temps > 0) log_warn("removed %d stale local temp file(s)", local_temps);
    store.collect();
  }
  // From here on, not before: what the older layout held moves in whole.
  store.set_quotas([&quotas](std::int64_t user_id) { return quotas.of(user_id); });

  ClientRegistry clients(options.ids_per_user);
  const std::size_t descriptors = raise_descriptor_limit();
  const ConnectionCaps caps =
      fit_caps({options.max_pending, options.max_sessions}, descriptors, open_descriptors());
  log_always("%zu descriptors: up to %zu connections not logged in and %zu sessions%s",
             descriptors, caps.pending, caps.sessions,
             caps.pending < options.max_pending || caps.sessions < options.max_sessions
                 ? " (lowered to fit)"
                 : "");
  ConnectionTable connections(caps.pending, caps.sessions);
  LoginThrottle throttle(std::chrono::seconds(options.lockout));
  const bool act_for_others = can_act_for_others();
  AccountUids account_uids(catalog, act_for_others);
  if (act_for_others) {
    log_always("local files are reached with the rights of each client's uid");
  } else {
    log_always("running as uid %u: serving that uid only", ::geteuid());
  }
  ServiceContext context;
  context.catalog = &catalog;
  context.clients = &clients;
  context.local_roots = &local_roots;
  context.connections = &connections;
  context.throttle = &throttle;
  context.account_uids = &account_uids;
  context.store = &store;
  context.routes = &service_routes();
  context.timeouts.login_grace = std::chrono::seconds(options.login_grace);
  context.timeouts.idle = std::chrono::seconds(options.idle_timeout);
  Server server(context);
  const std::uint16_t port = server.listen(options.port);
  if (local_roots.narrowed()) {
    for (const std::string& root : local_roots.roots()) log_always("local root %s", root.c_str());
  } else {
    log_always("local paths: every absolute path the client's user may reach");
  }
  log_always("listening on 127.0.0.1:%u, storage root %s", port, options.root.c_str());
  if (!options.port_file.empty()) write_port_file(options.port_file, port);
  server.run();
  log_always("stopped");
  return 0;
}

int run_check(const Options& options, int root_fd) {
  const UniqueFd lock = lock_root(root_fd);
  const UniqueFd store_dir = open_or_make_dir(root_fd, "store");
  const std::unique_ptr<FileCatalog> files = open_file_catalog(options, false);
  const std::unique_ptr<ContentStore> stored = open_contents(options, store_dir.get(), false);
  const std::unique_ptr<EncryptedContentStore> encrypted =
      encrypted_contents(options, store_dir.get(), *stored, false);
  ContentStore& contents = encrypted ? static_cast<ContentStore&>(*encrypted) : *stored;
  return check_store(*files, contents, stdout) == 0 ? 0 : 1;
}

// `stats`: a line per account, as df has one per file system.
std::string quota_cell(std::int64_t limit) { return limit > 0 ? std::to_string(limit) : "-"; }
std::string use_cell(std::int64_t used, std::int64_t limit) {
  return limit > 0 ? std::to_string(used * 100 / limit) + "%" : "-";
}

int run_stats(const Options& options, int root_fd) {
  const UniqueFd lock = lock_root(root_fd);
  const UniqueFd store_dir = open_or_make_dir(root_fd, "store");
  const std::unique_ptr<FileCatalog> files = open_file_catalog(options, false);
  AccountQuotas quotas(options.root + "/catalog.sqlite3", default_quota(options));
  std::map<std::int64_t, Usage> usage;
  for (const auto& [user_id, used] : files->all_usage()) usage[user_id] = used;
  std::printf("%-20s %15s %15s %5s %10s %10s %5s\n", "Account", "Bytes", "Quota", "Use%",
              "Files", "Quota", "Use%");
  for (const AccountQuotas::Account& account : quotas.all()) {
    const Usage used = usage[account.user_id];
    const Quota& q = account.quota;
    std::printf("%-20s %15lld %15s %5s %10lld %10s %5s\n", log_safe(q.account).c_str(),
                static_cast<long long>(used.bytes), quota_cell(q.bytes).c_str(),
                use_cell(used.bytes, q.bytes).c_str(), static_cast<long long>(used.entries),
                quota_cell(q.entries).c_str(), use_cell(used.entries, q.entries).c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int exit_code = parse_options(argc, argv, &options);
  if (exit_code >= 0) return exit_code;
  set_log_level(options.log_level);
  // Everything the service creates is its own: the catalog with the
  // password hashes, the storage trees, restored files.
  ::umask(077);
  if (sodium_init() < 0) {
    std::fprintf(stderr, "brevanto-service: libsodium cannot start\n");
    return 1;
  }
  try {
    const bool read_only = options.read_only && options.add_user.empty() && !options.check &&
                           !options.stats;
    const UniqueFd root = open_or_make_dir(AT_FDCWD, options.root);
    Catalog catalog(options.root + "/catalog.sqlite3", read_only);
    // Accounts from before accounts had uids belong to the root's owner.
    struct stat root_st;
    if (::fstat(root.get(), &root_st) != 0) throw std::runtime_error("cannot stat the root");
    if (!read_only) bind_unbound_accounts(catalog, root_st.st_uid);
    if (!options.add_user.empty()) return run_add_user(catalog, options);
    if (options.check) return run_check(options, root.get());
    if (options.stats) return run_stats(options, root.get());
    return serve(options, catalog, root.get());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "brevanto-service: %s\n", e.what());
    return 1;
  }
}
