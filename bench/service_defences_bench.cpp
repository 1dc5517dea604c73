// Measures the service's defences and soaks it with mixed clients.
//
//   service_defences_bench measure [GUESS_SECONDS]
//     prints the figures: a real login and listing beside 1,000 silent
//     connections; CPU and log lines while out of descriptors; real logins
//     beside 300 silent connections when started with 64; password
//     guesses that get checked per account, and a real login's time under
//     a flood of guessing connections of another uid; real logins while
//     another uid guesses at the same account; another user's ClientID
//     after one user's many logins.
//   service_defences_bench identity [OPENS]
//     the cost of opening a local file with a client's rights: switching
//     the thread's file-system identity, or asking a helper process of
//     that uid, against opening it with the service's own.
//   service_defences_bench uploads [FILES]
//     small files stored per second by 1 and by 4 clients side by side.
//   service_defences_bench soak SECONDS
//     good clients upload, download and compare, while others stay silent,
//     send half requests, guess passwords or vanish mid-transfer. Exits 1
//     unless every good operation succeeded and the storage is consistent
//     (no temp file left, every stored file whole).
//
// They start the service as a child with a temp root, like the tests.
// Clients of another uid (run as root only) are threads that take on that
// uid's file-system identity before they make their sockets: a socket
// belongs to the fsuid of the thread that makes it.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <list>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/Brevanto.h"
#include "protocol/service_connection.h"
#include "service/local/local_user.h"
#include "tests/service_test_env.h"
#include "tests/service_test_wire.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void raise_descriptor_limit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

bool login(CServiceConnection& conn, std::uint16_t port, const std::string& user,
           const std::string& password) {
  conn.port = port;
  return conn.login(widen(user).c_str(), widen(password).c_str(), L"", L"1") == 0 &&
         conn.logged_in;
}

int list_all(CServiceConnection& conn) {
  std::list<_path_buffer*> entries;
  const int result = conn.getfilelist(L"\\", true, entries);
  for (_path_buffer* e : entries) delete e;
  return result;
}

// A real client: login and a recursive listing; seconds taken, or -1.
double timed_login_and_list(std::uint16_t port, const std::string& user,
                            const std::string& password) {
  const auto start = Clock::now();
  CServiceConnection conn;
  if (!login(conn, port, user, password) || list_all(conn) != 0) return -1;
  return seconds_since(start);
}

// utime + stime of a process, in seconds.
double cpu_seconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::size_t lines_in(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A uid other than ours for clients that play another user: nobody's.
constexpr uid_t kOtherUid = 65534;

// The calling thread's sockets belong to `uid` from now on; false (and
// nothing changed) when the process may not take it on.
bool as_uid(uid_t uid) {
  ::setfsuid(uid);
  return static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))) == uid;
}

void measure_silent_connections() {
  ServiceEnv env;
  if (!env.started) throw std::runtime_error("service did not start");
  std::vector<std::unique_ptr<WireClient>> silent;
  for (int i = 0; i < 1000; ++i) silent.push_back(std::make_unique<WireClient>(env.service.port()));
  // More keep arriving while the real client logs in.
  std::atomic<bool> done{false};
  std::thread more([&] {
    std::vector<std::unique_ptr<WireClient>> extra;
    while (!done && extra.size() < 1000) {
      extra.push_back(std::make_unique<WireClient>(env.service.port()));
    }
  });
  const double took = timed_login_and_list(env.service.port(), "alice", "s3cret");
  done = true;
  more.join();
  std::printf("silent connections held: 1000 (+ more arriving), real login and listing: %.3f s\n",
              took);
}

// The service limited to 64 descriptors, 60 logged-in connections holding
// most of them and new connections arriving all the time (100 a second):
// its CPU time and log lines while it can serve none of them.
void measure_descriptor_exhaustion() {
  ServiceEnv env;
  if (!env.started) throw std::runtime_error("service did not start");
  const pid_t pid = env.service.pid();
  struct rlimit limit;
  ::prlimit(pid, RLIMIT_NOFILE, nullptr, &limit);
  limit.rlim_cur = 64;
  ::prlimit(pid, RLIMIT_NOFILE, &limit, nullptr);
  std::vector<std::unique_ptr<WireClient>> sessions;
  for (int i = 0; i < 60; ++i) {
    sessions.push_back(std::make_unique<WireClient>(env.service.port()));
    sessions.back()->login("alice", "s3cret");
  }
  std::atomic<bool> done{false};
  std::thread load([&] {
    std::vector<std::unique_ptr<WireClient>> held;
    while (!done) {
      held.push_back(std::make_unique<WireClient>(env.service.port()));
      if (held.size() > 200) held.erase(held.begin());
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const std::size_t lines_before = lines_in(env.service.log());
  const double cpu_before = cpu_seconds(pid);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(5));
  const double cpu = (cpu_seconds(pid) - cpu_before) / seconds_since(start);
  const double lines = static_cast<double>(lines_in(env.service.log()) - lines_before) /
                       seconds_since(start);
  done = true;
  load.join();
  std::printf("out of descriptors (limit 64, 60 sessions, 100 new connections/s): service CPU "
              "%.1f%%, %.1f log lines/s\n",
              cpu * 100, lines);
}

// The service started with at most 64 descriptors (soft and hard: a child
// lowers its own limits and starts it), 300 silent connections, then 29
// real logins and listings one after another: how many work, and their
// median time. With caps that did not fit the limit, 9 of 29 worked.
void measure_fitted_caps() {
  TempDir dir;
  const std::string root = dir.path() + "/root";
  if (add_service_user(root, "alice", "s3cret") != 0) throw std::runtime_error("add user");
  int port_pipe[2], stop_pipe[2];
  if (::pipe2(port_pipe, O_CLOEXEC) != 0 || ::pipe2(stop_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(stop_pipe[1]);
    const struct rlimit tight = {64, 64};
    ::setrlimit(RLIMIT_NOFILE, &tight);
    {
      ServiceProcess service(root, {dir.make_dir("local")}, dir.path() + "/service.log",
                             {"--log-level", "warn"});
      const std::uint16_t port = service.start() ? service.port() : 0;
      (void)!::write(port_pipe[1], &port, sizeof(port));
      char done;
      (void)!::read(stop_pipe[0], &done, 1);
    }
    ::_exit(0);
  }
  ::close(stop_pipe[0]);
  std::uint16_t port = 0;
  (void)!::read(port_pipe[0], &port, sizeof(port));
  std::vector<std::unique_ptr<WireClient>> silent;
  for (int i = 0; port != 0 && i < 300; ++i) silent.push_back(std::make_unique<WireClient>(port));
  std::vector<double> times;
  for (int i = 0; port != 0 && i < 29; ++i) {
    const double took = timed_login_and_list(port, "alice", "s3cret");
    if (took >= 0) times.push_back(took);
  }
  ::close(stop_pipe[1]);
  ::waitpid(child, nullptr, 0);
  std::sort(times.begin(), times.end());
  std::printf("started with 64 descriptors, 300 silent connections: %zu of 29 real logins and "
              "listings worked, median %.3f s\n",
              times.size(), times.empty() ? -1.0 : times[times.size() / 2]);
}

// Guessing connections for `seconds`: each sends wrong passwords for its
// name in a loop. Counts the replies "wrong password" (checked) and "too
// many failed logins" (refused unchecked).
struct Guessers {
  std::atomic<bool> done{false};
  std::atomic<long> checked{0};
  std::atomic<long> refused{0};
  std::vector<std::thread> threads;
  uid_t uid = ::geteuid();  // whose sockets they make: see as_uid()
  bool reconnect = false;   // a new connection for every guess
  std::chrono::milliseconds pace{0};  // between two guesses of one guesser

  void start(std::uint16_t port, int count, const std::function<std::string(int)>& name_of) {
    for (int i = 0; i < count; ++i) {
      threads.emplace_back([this, port, i, name_of] {
        as_uid(uid);
        auto wire = std::make_unique<WireClient>(port);
        for (bool first = true; !done; first = false) {
          if (!first && reconnect) wire = std::make_unique<WireClient>(port);
          if (pace.count() > 0) std::this_thread::sleep_for(pace);
          wire->send("<login User=\"" + name_of(i) + "\" Password=\"guess\" ProjectName=\"\"/>");
          const std::string reply = wire->read_message();
          if (reply.empty()) {  // closed: a new connection goes on guessing
            wire = std::make_unique<WireClient>(port);
            continue;
          }
          const std::string code = attribute_of(reply, "errcode");
          if (code == "9") ++checked;
          if (code == "13") ++refused;
        }
      });
    }
  }
  void stop() {
    done = true;
    for (std::thread& t : threads) t.join();
  }
};

void measure_guessing(int seconds) {
  ServiceEnv env;
  if (!env.started) throw std::runtime_error("service did not start");
  Guessers guessers;
  guessers.start(env.service.port(), 8, [](int) { return std::string("alice"); });
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  guessers.stop();
  std::printf("guesses at one account from 8 connections in %d s: %ld checked, %ld refused "
              "unchecked\n",
              seconds, guessers.checked.load(), guessers.refused.load());
}

// Bob's login and listing while 62 connections guess: all at one other
// account, or each at names of its own that do not exist.
void measure_login_under_flood(bool one_account) {
  ServiceEnv env;
  if (!env.started || add_service_user(env.root, "bob", "b0b") != 0 ||
      add_service_user(env.root, "mallory", "m4llory") != 0) {
    throw std::runtime_error("service did not start");
  }
  double quiet = 0;
  for (int i = 0; i < 3; ++i) {
    quiet = std::max(quiet, timed_login_and_list(env.service.port(), "bob", "b0b"));
  }
  Guessers flood;
  flood.uid = kOtherUid;
  std::atomic<int> fresh{0};
  flood.start(env.service.port(), 62, [&](int) {
    return one_account ? std::string("mallory") : "nobody" + std::to_string(fresh++);
  });
  std::vector<double> times;
  for (int i = 0; i < 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    times.push_back(timed_login_and_list(env.service.port(), "bob", "b0b"));
  }
  flood.stop();
  std::sort(times.begin(), times.end());
  std::printf("real login and listing, no flood: %.3f s; under 62 connections of uid %u guessing "
              "%s: median %.3f s, worst %.3f s (%ld guesses checked meanwhile)\n",
              quiet, kOtherUid, one_account ? "one other account" : "a new unknown name each time",
              times[times.size() / 2], times.back(), flood.checked.load());
}

// Another uid guesses at bob's own account from 4 clients, each on a new
// connection every 0.1 s, while bob's uid logs in 32 times: with penalties
// per account name these logins were refused (error 13) more often than
// not.
void measure_login_beside_other_uid_guessing() {
  ServiceEnv env;
  if (!env.started || add_service_user(env.root, "bob", "b0b") != 0) {
    throw std::runtime_error("service did not start");
  }
  Guessers guessers;
  guessers.uid = kOtherUid;
  guessers.reconnect = true;
  guessers.pace = std::chrono::milliseconds(100);
  guessers.start(env.service.port(), 4, [](int) { return std::string("bob"); });
  std::vector<double> times;
  int failed = 0;
  for (int i = 0; i < 32; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double took = timed_login_and_list(env.service.port(), "bob", "b0b");
    if (took < 0) {
      ++failed;
    } else {
      times.push_back(took);
    }
  }
  guessers.stop();
  std::sort(times.begin(), times.end());
  std::printf("4 clients of uid %u guessing bob's password on a new connection every 0.1 s: "
              "bob's %d logins and listings, %d failed, median %.3f s, worst %.3f s (%ld guesses "
              "checked, %ld refused unchecked)\n",
              kOtherUid, 32, failed, times.empty() ? -1.0 : times[times.size() / 2],
              times.empty() ? -1.0 : times.back(), guessers.checked.load(),
              guessers.refused.load());
}

// Opens `path` `count` times, each opening done as `open_one` does it;
// microseconds per opening.
double micros_per_open(int count, const std::function<int()>& open_one) {
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const int fd = open_one();
    if (fd < 0) throw std::runtime_error(std::string("open: ") + std::strerror(errno));
    ::close(fd);
  }
  return seconds_since(start) * 1e6 / count;
}

// A helper process of `uid` that opens the paths it is sent and sends the
// descriptors back: the other way to reach local files with a client's
// rights. Its end of the socket pair is `sock`.
void open_helper(int sock, uid_t uid) {
  if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
      ::setresuid(uid, uid, uid) != 0) {
    ::_exit(1);
  }
  char path[4096];
  for (;;) {
    const ssize_t n = ::recv(sock, path, sizeof(path) - 1, 0);
    if (n <= 0) ::_exit(0);
    path[n] = '\0';
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    char status = fd >= 0 ? 0 : 1;
    msghdr msg = {};
    iovec iov = {&status, 1};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) {
      msg.msg_control = control;
      msg.msg_controllen = sizeof(control);
      cmsghdr* c = CMSG_FIRSTHDR(&msg);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
    }
    ::sendmsg(sock, &msg, 0);
    if (fd >= 0) ::close(fd);
  }
}

// Asks the helper on `sock` to open `path`; the descriptor, or -1.
int open_through_helper(int sock, const std::string& path) {
  if (::send(sock, path.data(), path.size(), 0) < 0) return -1;
  char status = 1;
  msghdr msg = {};
  iovec iov = {&status, 1};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msg.msg_control = control;
  msg.msg_controllen = sizeof(control);
  if (::recvmsg(sock, &msg, MSG_CMSG_CLOEXEC) <= 0 || status != 0) return -1;
  const cmsghdr* c = CMSG_FIRSTHDR(&msg);
  int fd = -1;
  if (c != nullptr && c->cmsg_type == SCM_RIGHTS) std::memcpy(&fd, CMSG_DATA(c), sizeof(int));
  return fd;
}

// The choice behind local files opened with a client's rights: the cost of
// one opening of a file four folders deep, three ways.
void measure_identity(int count) {
  if (::geteuid() != 0) throw std::runtime_error("acting for another uid needs root");
  TempDir dir;
  std::string path = dir.path();
  ::chmod(path.c_str(), 0755);
  for (const char* part : {"/a", "/b", "/c"}) {
    path += part;
    ::mkdir(path.c_str(), 0755);
  }
  path += "/file";
  write_file(path, "content");
  ::chmod(path.c_str(), 0644);

  const double own = micros_per_open(count, [&] { return ::open(path.c_str(), O_RDONLY); });
  const LocalUser other = local_user_of(static_cast<long>(kOtherUid));
  const double switched = micros_per_open(count, [&] {
    const ActingAs as(other);
    return ::open(path.c_str(), O_RDONLY);
  });
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    throw std::runtime_error("socketpair");
  }
  const pid_t helper = ::fork();
  if (helper == 0) {
    ::close(pair[0]);
    open_helper(pair[1], kOtherUid);
  }
  ::close(pair[1]);
  const double helped = micros_per_open(count, [&] { return open_through_helper(pair[0], path); });
  ::close(pair[0]);
  ::waitpid(helper, nullptr, 0);
  std::printf("opening a local file 4 folders deep (%d times): with the service's rights %.2f us, "
              "switching the thread to uid %u and back %.2f us, through a helper process of "
              "that uid %.2f us\n",
              count, own, kOtherUid, switched, helped);
}

void measure_logins_per_user() {
  ServiceEnv env(0, {"--ids-per-user", "16"});
  if (!env.started || add_service_user(env.root, "bob", "b0b") != 0) {
    throw std::runtime_error("service did not start");
  }
  WireClient wire(env.service.port());
  const std::string bob = wire.login("bob", "b0b");
  for (int i = 0; i < 40; ++i) wire.login("alice", "s3cret");
  wire.send("<GetFileInfo PathName=\"\\\" ClientID=\"" + bob + "\"/>");
  const bool valid = attribute_of(wire.read_message(), "Result") == "success";
  std::printf("bob's ClientID after 40 logins of alice (16 kept per user): %s\n",
              valid ? "valid" : "DROPPED");
}

// `clients` clients side by side, each storing `files` small files (1 to
// 4 KiB) with AddFile: files stored per second. Every success is durable,
// so this is mostly the cost of the syncs and how well they are shared.
void measure_parallel_uploads(int clients, int files) {
  ServiceEnv env;
  if (!env.started) throw std::runtime_error("service did not start");
  for (int c = 0; c < clients; ++c) {
    for (int i = 0; i < files; ++i) {
      write_file(env.local + "/c" + std::to_string(c) + "-" + std::to_string(i),
                 pattern_bytes(1024 + static_cast<std::size_t>(i * 31 % 3072), i));
    }
  }
  std::atomic<int> failures{0};
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      CServiceConnection conn;
      if (!login(conn, env.service.port(), "alice", "s3cret")) {
        ++failures;
        return;
      }
      for (int i = 0; i < files; ++i) {
        const std::string name = "c" + std::to_string(c) + "-" + std::to_string(i);
        if (conn.addfile(widen(env.local + "/" + name).c_str(), widen("\\" + name).c_str(),
                         nullptr, nullptr) != 0) {
          ++failures;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  const double took = seconds_since(start);
  std::printf("%d clients storing %d small files each: %.2f s, %.0f files/s, %d failed\n",
              clients, files, took, clients * files / took, failures.load());
}

// ---- soak

struct SoakCounts {
  std::atomic<long> good_ops{0};
  std::atomic<long> login_retries{0};
  std::atomic<long> good_failures{0};
  std::atomic<long> silent{0};
  std::atomic<long> vanished{0};
};

void good_client(const ServiceEnv& env, int index, const std::atomic<bool>& done,
                 SoakCounts& counts) {
  std::mt19937 random(static_cast<unsigned>(index * 7919));
  const std::string user = "good" + std::to_string(index);
  const std::string dir = env.local + "/" + user;
  CServiceConnection conn;
  // A connection cut off in the crowd of new ones before its login arrived
  // is tried again, as a person would; the retries are counted.
  int last_result = 0;
  const auto log_in = [&] {
    for (int attempt = 0; attempt < 20; ++attempt) {
      conn.port = env.service.port();
      last_result = conn.login(widen(user).c_str(), L"pw", L"", L"1");
      if (last_result == 0 && conn.logged_in) return true;
      if (conn.err_code != 0) return false;  // refused by the service
      // A connection the service closed stays "connected" until the client
      // goes offline, as a host's would: only then does login dial again.
      conn.go_offline();
      ++counts.login_retries;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  };
  const char* step = "login";
  bool ok = log_in();
  for (int op = 0; ok && !done; ++op) {
    const std::string name = "f" + std::to_string(op % 8);
    const std::string content = pattern_bytes(random() % (2u << 20), random());
    const std::string source = dir + "/" + name;
    const std::string copy = dir + "/copy";
    const std::wstring storage = widen("\\" + name);
    step = "store";
    ok = write_file(source, content) &&
         (op < 8 ? conn.addfile(widen(source).c_str(), storage.c_str(), nullptr, nullptr)
                 : conn.updatefile(widen(source).c_str(), storage.c_str(), nullptr, nullptr)) == 0;
    if (ok) step = "download";
    ok = ok && conn.downloadfile(widen(copy).c_str(), storage.c_str(), nullptr, nullptr) == 0;
    if (ok) step = "compare";
    ok = ok && read_file(copy) == content;
    if (ok) step = "list";
    ok = ok && list_all(conn) == 0;
    if (ok && op % 10 == 9) {
      conn.logout();
      step = "login again";
      ok = log_in();
    }
    if (ok) ++counts.good_ops;
  }
  if (!ok) {
    ++counts.good_failures;
    std::printf("good client %d failed at %s: error %d, last login result %d\n", index, step,
                conn.err_code, last_result);
  }
}

void silent_client(std::uint16_t port, int index, const std::atomic<bool>& done,
                   SoakCounts& counts) {
  while (!done) {
    WireClient wire(port);
    if (index % 2 == 1) wire.send("<AddFile PathName=\"\\x\" LocalPa");
    ++counts.silent;
    wire.read_message();  // until the service closes it (or 10 s pass)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void vanishing_client(const ServiceEnv& env, const std::atomic<bool>& done, SoakCounts& counts) {
  const std::string big = env.local + "/vanish/big";
  while (!done) {
    WireClient wire(env.service.port());
    const std::string id = wire.login("vanish", "pw");
    if (id.empty()) continue;
    wire.send("<AddFile PathName=\"\\big" + std::to_string(counts.vanished % 4) +
              "\" LocalPathName=\"" + big + "\" ClientID=\"" + id + "\"/>");
    wire.read_message();  // one progress report, then gone
    ++counts.vanished;
  }
}

// Every file in the vanishing client's tree is whole, and no temp file is
// left anywhere.
bool storage_consistent(const ServiceEnv& env, const std::string& big) {
  bool ok = true;
  for (const std::string& path : tree_listing(env.root)) {
    if (path.find(".brevanto-tmp-") != std::string::npos) {
      std::printf("temp file left: %s\n", path.c_str());
      ok = false;
    }
  }
  for (const std::string& path : tree_listing(env.dir.path() + "/root/data")) {
    if (path.find("/big") != std::string::npos && read_file(env.root + "/data/" + path) != big) {
      std::printf("torn file: %s\n", path.c_str());
      ok = false;
    }
  }
  return ok;
}

int soak(int seconds) {
  // Fewer pending slots than silent, guessing and vanishing clients
  // together, so that silent ones are closed to make room.
  ServiceEnv env(0, {"--login-grace", "2", "--idle-timeout", "5", "--lockout", "5",
                     "--max-pending", "12"});
  if (!env.started) throw std::runtime_error("service did not start");
  for (const char* user : {"good0", "good1", "good2", "vanish", "victim"}) {
    ::mkdir((env.local + "/" + user).c_str(), 0700);
    if (add_service_user(env.root, user, "pw") != 0) throw std::runtime_error("add user");
  }
  const std::string big = pattern_bytes(8u << 20, 3);
  write_file(env.local + "/vanish/big", big);

  SoakCounts counts;
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) threads.emplace_back([&, i] { good_client(env, i, done, counts); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // logged in before the crowd
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] { silent_client(env.service.port(), i, done, counts); });
  }
  for (int i = 0; i < 2; ++i) threads.emplace_back([&] { vanishing_client(env, done, counts); });
  Guessers guessers;
  // The guessers come from another uid, so that their failures never count
  // against the good clients' uid; they try an account and names that do
  // not exist. Without root they cannot, and stay out.
  guessers.uid = kOtherUid;
  const bool guessing = ::geteuid() == 0;
  if (guessing) {
    guessers.start(env.service.port(), 4, [](int i) {
      return i % 2 == 0 ? std::string("victim") : "nobody" + std::to_string(i);
    });
  } else {
    std::printf("not root: no guessers\n");
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  done = true;
  guessers.stop();
  for (std::thread& t : threads) t.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // aborted uploads clean up

  const bool consistent = storage_consistent(env, big);
  if (std::getenv("SOAK_LOG")) std::fputs(env.service.log().c_str(), stdout);
  std::printf("soak %d s: good operations %ld, failed good clients %ld, login retries %ld; silent "
              "connections %ld; vanished mid-upload %ld; guesses checked %ld, refused unchecked "
              "%ld; storage %s\n",
              seconds, counts.good_ops.load(), counts.good_failures.load(),
              counts.login_retries.load(), counts.silent.load(),
              counts.vanished.load(), guessers.checked.load(), guessers.refused.load(),
              consistent ? "consistent" : "INCONSISTENT");
  return counts.good_failures == 0 && counts.good_ops > 0 && consistent ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  raise_descriptor_limit();
  const std::string mode = argc > 1 ? argv[1] : "";
  try {
    if (mode == "measure") {
      measure_silent_connections();
      measure_descriptor_exhaustion();
      measure_fitted_caps();
      measure_login_under_flood(true);
      measure_login_under_flood(false);
      measure_login_beside_other_uid_guessing();
      measure_logins_per_user();
      measure_guessing(argc > 2 ? std::atoi(argv[2]) : 60);
      return 0;
    }
    if (mode == "soak") return soak(argc > 2 ? std::atoi(argv[2]) : 600);
    if (mode == "identity") {
      measure_identity(argc > 2 ? std::atoi(argv[2]) : 20000);
      return 0;
    }
    if (mode == "uploads") {
      measure_parallel_uploads(1, argc > 2 ? std::atoi(argv[2]) : 500);
      measure_parallel_uploads(4, argc > 2 ? std::atoi(argv[2]) : 500);
      return 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "service_defences_bench: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr,
               "usage: service_defences_bench measure [GUESS_SECONDS] | uploads [FILES] | "
               "identity [OPENS] | soak [SECONDS]\n");
  return 2;
}
