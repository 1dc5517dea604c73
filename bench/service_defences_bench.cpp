// Measures the service's defences and soaks it with mixed clients.
//
//   service_defences_bench measure [GUESS_SECONDS]
//     prints the figures: a real login and listing beside 1,000 silent
//     connections; CPU and log lines while out of descriptors; password
//     guesses that get checked per account, and a real login's time under
//     a flood of guessing connections; another user's ClientID after one
//     user's many logins.
//   service_defences_bench uploads [FILES]
//     small files stored per second by 1 and by 4 clients side by side.
//   service_defences_bench soak SECONDS
//     good clients upload, download and compare, while others stay silent,
//     send half requests, guess passwords or vanish mid-transfer. Exits 1
//     unless every good operation succeeded and the storage is consistent
//     (no temp file left, every stored file whole).
//
// Both start the service as a child with a temp root, like the tests.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

// Guessing connections for `seconds`: each sends wrong passwords for its
// name in a loop. Counts the replies "wrong password" (checked) and "too
// many failed logins" (refused unchecked).
struct Guessers {
  std::atomic<bool> done{false};
  std::atomic<long> checked{0};
  std::atomic<long> refused{0};
  std::vector<std::thread> threads;

  void start(std::uint16_t port, int count, const std::function<std::string(int)>& name_of) {
    for (int i = 0; i < count; ++i) {
      threads.emplace_back([this, port, i, name_of] {
        auto wire = std::make_unique<WireClient>(port);
        while (!done) {
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
  std::printf("real login and listing, no flood: %.3f s; under 62 connections guessing %s: "
              "median %.3f s, worst %.3f s (%ld guesses checked meanwhile)\n",
              quiet, one_account ? "one other account" : "a new unknown name each time",
              times[times.size() / 2], times.back(), flood.checked.load());
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
  // An account under attack is locked for everyone, its owner too: the
  // guessers try an account of their own and names that do not exist.
  guessers.start(env.service.port(), 4, [](int i) {
    return i % 2 == 0 ? std::string("victim") : "nobody" + std::to_string(i);
  });
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
      measure_login_under_flood(true);
      measure_login_under_flood(false);
      measure_logins_per_user();
      measure_guessing(argc > 2 ? std::atoi(argv[2]) : 60);
      return 0;
    }
    if (mode == "soak") return soak(argc > 2 ? std::atoi(argv[2]) : 600);
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
               "soak [SECONDS]\n");
  return 2;
}
