// Fuzzes the service's request handling: the input is what one client sends
// on one connection. A Session reads it from a socket pair with the
// service's own framer, parser and dispatch, against a storage root and a
// local root in a temp folder made once per process; a client thread
// drains the replies and half-closes once the session waits for more.
//
// Inputs reach the storage code through placeholders: @ID@ becomes a
// ClientID logged in at start-up (and again whenever an input logs it out),
// @L@ the local root, @S@ the storage root, @X@ a sentinel folder beside
// them. After each input: the sentinel is unchanged, no descriptor leaked,
// and changed trees and the catalog are put back to their seed state.
//
// Log lines of every level are formatted but written to /dev/null, unless
// BREVANTO_FUZZ_LOG is set. Linked with --wrap: poll() tells the client
// thread when the session blocks for more bytes, and a password check
// against anything but the fuzz user's cheap hash is skipped (only the
// dummy hash of an unknown user is left, whose outcome is a refusal
// whatever the check says).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sodium.h>
#include <sqlite3.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <memory>
#include <vector>

#include "service/local/local_paths.h"
#include "service/log.h"
#include "service/net/client_registry.h"
#include "service/net/session.h"
#include "service/requests/service_routes.h"
#include "service/service_context.h"
#include "service/store/catalog.h"
#include "service/store/filetime.h"
#include "service/store/folder_content_store.h"
#include "service/store/sqlite_file_catalog.h"
#include "service/store/store.h"
#include "service/unique_fd.h"
#include "util/sha256.h"

namespace {

// An input still running after this long counts as a hang.
constexpr int kInputSeconds = 20;
constexpr char kUser[] = "fuzz";
constexpr char kPassword[] = "fuzz";

thread_local bool t_session = false;     // this thread runs the Session
std::atomic<bool> g_waiting{false};      // the session is blocked for bytes
int g_idle_fd = -1;                      // eventfd, written when it blocks
char g_cheap_hash[crypto_pwhash_STRBYTES];

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "service_fuzzer: %s\n", what);
  std::abort();
}

struct Fixture {
  std::string base, root, local, sentinel, client_id;
  Catalog* catalog = nullptr;
  LocalRoots* local_roots = nullptr;
  sqlite3* db = nullptr;  // a second catalog connection, for resets
  // The store, made afresh whenever an input changed it.
  std::unique_ptr<SqliteFileCatalog> files;
  std::unique_ptr<FolderContentStore> contents;
  std::unique_ptr<Store> store;
  ClientRegistry clients;
  ServiceContext context;
  Binding binding;
  std::string sentinel_state, local_state;
  int fds = 0;
  int next_session = 1;
};
Fixture* g;

// One line per entry below `dir_fd` (sorted, never through a link): path,
// mode, size, inode, modification and change time.
void snapshot(int dir_fd, const std::string& prefix, std::string* out) {
  DIR* dir = ::fdopendir(::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0));
  check(dir != nullptr, "fdopendir");
  ::rewinddir(dir);  // the duplicate shares the offset of earlier reads
  std::vector<std::string> names;
  while (const dirent* d = ::readdir(dir)) {
    if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0) {
      names.push_back(d->d_name);
    }
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    struct stat st;
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    char line[160];
    std::snprintf(line, sizeof(line), " %o %lld %llu %lld.%09ld %lld.%09ld\n", st.st_mode,
                  static_cast<long long>(st.st_size), static_cast<unsigned long long>(st.st_ino),
                  static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec,
                  static_cast<long long>(st.st_ctim.tv_sec), st.st_ctim.tv_nsec);
    *out += prefix + name + line;
    if (!S_ISDIR(st.st_mode)) continue;
    const UniqueFd child(::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
    if (child.valid()) snapshot(child.get(), prefix + name + "/", out);
  }
}

std::string snapshot_of(const std::string& dir) {
  const UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  check(fd.valid(), "open for snapshot");
  std::string out;
  snapshot(fd.get(), "", &out);
  return out;
}

// Removes everything inside `dir_fd`, at any depth.
void empty_dir(int dir_fd) {
  DIR* dir = ::fdopendir(::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0));
  check(dir != nullptr, "fdopendir");
  ::rewinddir(dir);  // the duplicate shares the offset of earlier reads
  std::vector<std::string> names;
  while (const dirent* d = ::readdir(dir)) {
    if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0) {
      names.push_back(d->d_name);
    }
  }
  ::closedir(dir);
  for (const std::string& name : names) {
    if (::unlinkat(dir_fd, name.c_str(), 0) == 0) continue;
    const UniqueFd child(::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
    check(child.valid(), "open for removal");
    empty_dir(child.get());
    check(::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR) == 0, "rmdir");
  }
}

void put_file(int dir_fd, const char* name, const std::string& content) {
  const UniqueFd fd(::openat(dir_fd, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  check(fd.valid() && ::write(fd.get(), content.data(), content.size()) ==
                          static_cast<ssize_t>(content.size()),
        "write seed file");
}

// The seed entries of a local root: files, a folder, links to the sentinel
// (never to be followed) and a FIFO (never to be read).
void seed(int dir_fd, std::size_t big_bytes) {
  put_file(dir_fd, "a.txt", "alpha\n");
  put_file(dir_fd, "empty", "");
  put_file(dir_fd, "big", std::string(big_bytes, 'b'));
  check(::mkdirat(dir_fd, "d", 0700) == 0, "mkdir d");
  const UniqueFd d(::openat(dir_fd, "d", O_RDONLY | O_DIRECTORY));
  put_file(d.get(), "b.txt", "beta\n");
  check(::symlinkat(g->sentinel.c_str(), dir_fd, "lnk") == 0, "symlink");
  check(::symlinkat((g->sentinel + "/keep.txt").c_str(), dir_fd, "lf") == 0, "symlink");
  check(::mkfifoat(dir_fd, "fifo", 0600) == 0, "mkfifo");
}

void reset_local() {
  const UniqueFd fd(::open(g->local.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  empty_dir(fd.get());
  // Over one copy chunk and one progress step, so both are exercised.
  seed(fd.get(), (1 << 20) + 300 * 1024);
  g->local_state = snapshot_of(g->local);
}

void put_stored(const std::string& path, const std::string& bytes) {
  NewContent content;
  content.size = static_cast<std::int64_t>(bytes.size());
  Sha256 sha;
  sha.update(bytes.data(), bytes.size());
  content.sha256 = sha.hex();
  std::unique_ptr<ContentWriter> writer;
  if (content.size > Store::kInlineMaxBytes) {
    writer = g->store->begin_content(g->binding.user_id);
    check(::write(writer->fd(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()),
          "write content");
    content.external = true;
  } else {
    content.bytes = bytes;
  }
  Entry file;
  file.create_time = file.modify_time = filetime_now();
  g->store->put_file(TreeId{g->binding.user_id, g->binding.project}, parse_storage_path(path),
                     false, std::move(content), writer.get(), file);
}

// A fresh store holding a seed tree: small and large files, a folder, and
// a point that shows an earlier version.
void reset_store() {
  g->context.store = nullptr;
  g->store.reset();
  g->contents.reset();
  g->files.reset();
  const UniqueFd root(::open(g->root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ::unlinkat(root.get(), "store.sqlite3", 0);
  ::unlinkat(root.get(), "store.sqlite3-wal", 0);
  const UniqueFd content(::openat(root.get(), "content", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (content.valid()) empty_dir(content.get());
  g->files = std::make_unique<SqliteFileCatalog>(g->root + "/store.sqlite3");
  g->contents = std::make_unique<FolderContentStore>(root.get(), "content", g->root);
  // No sync on a timer: a change shows as the catalog left dirty.
  g->store = std::make_unique<Store>(*g->files, *g->contents, RetentionPolicy(),
                                     std::chrono::hours(24));
  const TreeId tree{g->binding.user_id, g->binding.project};
  g->store->open_tree(tree);
  put_stored("\\a.txt", "alpha\n");
  put_stored("\\empty", "");
  put_stored("\\big", std::string(300 * 1024, 'b'));
  put_stored("\\d\\b.txt", "beta\n");
  g->store->end_session(tree, true);
  g->store->remove(tree, parse_storage_path("\\d\\b.txt"));
  put_stored("\\d\\b.txt", "beta, again\n");
  check(g->store->sync(), "sync");
  g->context.store = g->store.get();
}

// The names in `dir`, sorted, one per line.
std::string names_in(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  check(d != nullptr, "opendir");
  while (const dirent* e = ::readdir(d)) names.push_back(e->d_name);
  ::closedir(d);
  std::sort(names.begin(), names.end());
  std::string out;
  for (const std::string& name : names) out += name + "\n";
  return out;
}

// Open descriptors on files below the temp folder. Descriptors of the
// fuzzer's own machinery (libFuzzer, sanitizers) come and go; these may not.
int open_fds() {
  DIR* dir = ::opendir("/proc/self/fd");
  check(dir != nullptr, "opendir /proc/self/fd");
  int count = 0;
  while (const dirent* d = ::readdir(dir)) {
    char target[4096];
    const ssize_t n = ::readlinkat(::dirfd(dir), d->d_name, target, sizeof(target));
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)).rfind(g->base, 0) == 0) ++count;
  }
  ::closedir(dir);
  return count;
}

// Plays the client: sends `input` (already partly sent), keeps every reply
// byte in `replies`, and half-closes once all is sent and the session is
// blocked with nothing left to read. Returns when the session closes.
void play_client(int client, int service, const std::string& input, std::size_t sent,
                 std::string* replies) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kInputSeconds);
  bool half_closed = false;
  char buffer[65536];
  for (;;) {
    pollfd fds[2] = {{client, static_cast<short>(POLLIN | (sent < input.size() ? POLLOUT : 0)), 0},
                     {g_idle_fd, POLLIN, 0}};
    ::poll(fds, 2, 1000);
    check(std::chrono::steady_clock::now() < deadline, "input still running: hang");
    if (fds[0].revents & POLLOUT) {
      const ssize_t n = ::send(client, input.data() + sent, input.size() - sent, MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<std::size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) sent = input.size();  // session gone
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t n = ::recv(client, buffer, sizeof(buffer), 0);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
      if (n > 0 && replies != nullptr) replies->append(buffer, static_cast<std::size_t>(n));
    }
    if (fds[1].revents & POLLIN) {
      std::uint64_t count;
      (void)!::read(g_idle_fd, &count, sizeof(count));
      // Nothing unread first, then blocked: the reverse order could see a
      // session that was blocked but has just taken the last bytes.
      int unread = -1;
      if (!half_closed && sent == input.size() && ::ioctl(service, FIONREAD, &unread) == 0 &&
          unread == 0 && g_waiting.load()) {
        ::shutdown(client, SHUT_WR);
        half_closed = true;
      }
    }
  }
}

// Runs one connection that sends `input`; returns what the service sent.
std::string run_connection(const std::string& input, bool keep_replies) {
  int fds[2];
  check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
  const int client = fds[0], service = fds[1];
  const int bytes = 1 << 22;
  ::setsockopt(client, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes));
  ::fcntl(client, F_SETFL, O_NONBLOCK);
  // What fits is sent before the session starts, so that the framing of
  // most inputs does not depend on thread timing.
  std::size_t sent = 0;
  while (sent < input.size()) {
    const ssize_t n = ::send(client, input.data() + sent, input.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  std::string replies;
  std::thread peer(play_client, client, service, std::cref(input), sent,
                   keep_replies ? &replies : nullptr);
  t_session = true;
  try {
    Session(g->context, service, g->next_session++).run();
  } catch (const std::exception&) {
    // The server logs such a failure and closes the connection.
  }
  t_session = false;
  g_waiting = false;
  ::close(service);
  peer.join();
  ::close(client);
  return replies;
}

std::string login_id(const std::string& replies) {
  const std::string key = "ClientID=\"";
  const std::size_t at = replies.find(key);
  check(at != std::string::npos, "start-up login failed");
  return replies.substr(at + key.size(), 32);
}

void set_up() {
  check(sodium_init() >= 0, "sodium_init");
  // Every line is formatted, so that a bad format or argument still shows.
  set_log_level(LogLevel::kInfo);
  if (std::getenv("BREVANTO_FUZZ_LOG") == nullptr) {
    set_log_fd(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  }
  struct rlimit limit;
  // Deep trees are snapshot and removed with one descriptor per level.
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  g = new Fixture;
  char templ[] = "/dev/shm/brevanto-service-fuzz-XXXXXX";
  char templ_tmp[] = "/tmp/brevanto-service-fuzz-XXXXXX";
  const char* made = ::mkdtemp(templ);
  if (made == nullptr) made = ::mkdtemp(templ_tmp);
  check(made != nullptr, "mkdtemp");
  g->base = made;
  g->root = g->base + "/root";
  g->local = g->base + "/local";
  g->sentinel = g->base + "/sentinel";
  for (const std::string* dir : {&g->root, &g->local, &g->sentinel}) {
    check(::mkdir(dir->c_str(), 0700) == 0, "mkdir");
  }
  {
    const UniqueFd sentinel(::open(g->sentinel.c_str(), O_RDONLY | O_DIRECTORY));
    put_file(sentinel.get(), "keep.txt", "must stay\n");
    check(::mkdirat(sentinel.get(), "sub", 0700) == 0, "mkdir");
  }
  g->sentinel_state = snapshot_of(g->base + "/sentinel");

  g->catalog = new Catalog(g->root + "/catalog.sqlite3");
  check(sqlite3_open((g->root + "/catalog.sqlite3").c_str(), &g->db) == SQLITE_OK, "sqlite");
  sqlite3_busy_timeout(g->db, 10000);
  // A cheap hash keeps logins fast; the cost comes from the hash string.
  check(crypto_pwhash_str(g_cheap_hash, kPassword, std::strlen(kPassword),
                          crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN) == 0,
        "hash");
  check(g->catalog->add_user(kUser, g_cheap_hash), "add user");
  g->local_roots = new LocalRoots({g->local}, g->root);
  g->context.catalog = g->catalog;
  g->context.clients = &g->clients;
  g->context.local_roots = g->local_roots;
  g->context.routes = &service_routes();
  g_idle_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  check(g_idle_fd >= 0, "eventfd");

  reset_store();  // for the login; seeded again once the tree is known
  // Logs in through the session, as a client would; an unknown user first,
  // which computes the dummy hash once.
  const std::string replies = run_connection(
      "<login User=\"nobody\" Password=\"x\"/>"
      "<login User=\"fuzz\" Password=\"fuzz\" ProjectName=\"\" ClientType=\"1\" ClientID=\"0\"/>",
      true);
  g->client_id = login_id(replies);
  g->binding = *g->clients.find(g->client_id);
  reset_local();
  reset_store();
  g->fds = open_fds();
  std::atexit([] {
    const UniqueFd base(::open(g->base.c_str(), O_RDONLY | O_DIRECTORY));
    empty_dir(base.get());
    ::rmdir(g->base.c_str());
  });
}

std::string expand(const std::string& input) {
  const std::pair<const char*, const std::string*> names[] = {
      {"@ID@", &g->client_id}, {"@L@", &g->local}, {"@S@", &g->root}, {"@X@", &g->sentinel}};
  std::string out;
  out.reserve(input.size());
  for (std::size_t i = 0; i < input.size();) {
    bool replaced = false;
    for (const auto& name : names) {
      const std::size_t n = std::strlen(name.first);
      if (input.compare(i, n, name.first) == 0) {
        out += *name.second;
        i += n;
        replaced = true;
        break;
      }
    }
    if (!replaced) out += input[i++];
  }
  return out;
}

}  // namespace

extern "C" int __real_poll(pollfd* fds, nfds_t count, int timeout);
extern "C" int __wrap_poll(pollfd* fds, nfds_t count, int timeout) {
  // Only the request reader waits without a time-out.
  if (!t_session || timeout >= 0) return __real_poll(fds, count, timeout);
  g_waiting = true;
  const std::uint64_t one = 1;
  (void)!::write(g_idle_fd, &one, sizeof(one));
  const int result = __real_poll(fds, count, timeout);
  g_waiting = false;
  return result;
}

extern "C" int __real_crypto_pwhash_str_verify(const char* hash, const char* password,
                                               unsigned long long size);
extern "C" int __wrap_crypto_pwhash_str_verify(const char* hash, const char* password,
                                               unsigned long long size) {
  if (std::strcmp(hash, g_cheap_hash) != 0) return -1;
  return __real_crypto_pwhash_str_verify(hash, password, size);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (g == nullptr) set_up();
  if (!g->clients.find(g->client_id)) {
    g->client_id = g->clients.add(g->binding);  // logged out by the last input
  }
  run_connection(expand(std::string(reinterpret_cast<const char*>(data), size)), false);
  // The store's background thread may still be collecting what the input
  // left (a point made when its session ended): let it finish, so that the
  // checks below see the store at rest.
  g->store->sync();

  check(snapshot_of(g->sentinel) == g->sentinel_state, "the sentinel folder changed");
  check(names_in(g->base) == ".\n..\nlocal\nroot\nsentinel\n", "a file beside the roots");
  if (snapshot_of(g->local) != g->local_state) reset_local();
  if (g->files->dirty()) reset_store();
  check(open_fds() == g->fds, "a descriptor leaked");
  return 0;
}
