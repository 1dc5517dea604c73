// brevanto-service: the local service that a Brevanto client of interface
// type 0 talks to over TCP on 127.0.0.1. See README.md.
#include <fcntl.h>
#include <sodium.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "service/accounts/accounts.h"
#include "service/store/catalog.h"
#include "service/store/change_recovery.h"
#include "service/net/client_registry.h"
#include "service/net/connection_table.h"
#include "service/store/group_commit.h"
#include "service/local/local_paths.h"
#include "service/accounts/login_throttle.h"
#include "service/log.h"
#include "service/options.h"
#include "service/accounts/password_input.h"
#include "service/net/server.h"
#include "service/service_context.h"
#include "service/net/stop_signal.h"
#include "service/store/temp_cleanup.h"
#include "service/unique_fd.h"

namespace {

// Opens directory `name` below `dir_fd` (AT_FDCWD for a path), making it
// first if missing.
UniqueFd open_or_make_dir(int dir_fd, const std::string& name) {
  if (::mkdirat(dir_fd, name.c_str(), 0700) != 0 && errno != EEXIST) {
    throw std::runtime_error("mkdir " + name + ": " + std::strerror(errno));
  }
  UniqueFd fd(::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) throw std::runtime_error("open " + name + ": " + std::strerror(errno));
  return fd;
}

int run_add_user(Catalog& catalog, const std::string& name) {
  if (!valid_user_name(name)) {
    std::fprintf(stderr, "brevanto-service: invalid user name\n");
    return 1;
  }
  std::string password;
  const bool read = read_password(&password);
  if (!read || password.empty()) {
    std::fprintf(stderr, "brevanto-service: no password given on stdin\n");
    return 1;
  }
  const bool added = add_user(catalog, name, password);
  sodium_memzero(&password[0], password.size());
  if (!added) {
    std::fprintf(stderr, "brevanto-service: user %s exists already\n", log_safe(name).c_str());
    return 1;
  }
  log_always("added user %s", log_safe(name).c_str());
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
UniqueFd lock_root(int root_fd) {
  UniqueFd lock(::openat(root_fd, "service.lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock.valid()) throw std::runtime_error(std::string("service.lock: ") + std::strerror(errno));
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    throw std::runtime_error("another service is using this storage root");
  }
  return lock;
}

int serve(const Options& options, Catalog& catalog, int root_fd) {
  const UniqueFd lock = lock_root(root_fd);
  const LocalRoots local_roots(options.local_roots, options.root);
  const UniqueFd data = open_or_make_dir(root_fd, "data");
  if (!install_stop_handlers()) throw std::runtime_error("cannot create the stop pipe");

  const int settled = settle_journaled_changes(catalog, data.get());
  if (settled > 0) log_warn("settled %d row(s) of files renamed before a crash", settled);
  const int storage_temps = remove_stale_storage_temps(data.get());
  const int local_temps = remove_stale_local_temps(catalog);
  if (storage_temps + local_temps > 0) {
    log_warn("removed %d stale temp file(s) in storage, %d local", storage_temps, local_temps);
  }

  ClientRegistry clients(options.ids_per_user);
  ConnectionTable connections(options.max_pending, options.max_sessions);
  LoginThrottle throttle(std::chrono::seconds(options.lockout));
  GroupCommit commits(catalog);
  ServiceContext context;
  context.data_fd = data.get();
  context.catalog = &catalog;
  context.clients = &clients;
  context.local_roots = &local_roots;
  context.connections = &connections;
  context.throttle = &throttle;
  context.commits = &commits;
  context.timeouts.login_grace = std::chrono::seconds(options.login_grace);
  context.timeouts.idle = std::chrono::seconds(options.idle_timeout);
  Server server(context);
  const std::uint16_t port = server.listen(options.port);
  for (const std::string& root : local_roots.roots()) log_always("local root %s", root.c_str());
  log_always("listening on 127.0.0.1:%u, storage root %s", port, options.root.c_str());
  if (!options.port_file.empty()) write_port_file(options.port_file, port);
  server.run();
  log_always("stopped");
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
    const UniqueFd root = open_or_make_dir(AT_FDCWD, options.root);
    Catalog catalog(options.root + "/catalog.sqlite3");
    if (!options.add_user.empty()) return run_add_user(catalog, options.add_user);
    return serve(options, catalog, root.get());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "brevanto-service: %s\n", e.what());
    return 1;
  }
}
