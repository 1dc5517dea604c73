// The service under attack and under faults: silent and half-sent
// connections, descriptor exhaustion, password guessing, one user's many
// logins, unreadable subtrees, a local file changing during its upload,
// and what stays private (file modes, passwords in memory).
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/Brevanto.h"
#include "protocol/service_connection.h"
#include "tests/service_test_env.h"
#include "tests/service_test_wire.h"

namespace {

// Under AddressSanitizer the service's runtime opens files of its own, so a
// descriptor limit a few above what the service holds starves it instead.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif


using Clock = std::chrono::steady_clock;

constexpr int kNotLoggedIn = 1;
constexpr int kNotFound = 3;
constexpr int kInternal = 8;
constexpr int kWrongLogin = 9;
constexpr int kSourceChanged = 12;
constexpr int kLoginThrottled = 13;

bool login(CServiceConnection& conn, std::uint16_t port, const wchar_t* user = L"alice",
           const wchar_t* password = L"s3cret") {
  conn.port = port;
  return conn.login(user, password, L"", L"1") == 0 && conn.logged_in;
}

// A recursive listing of the root; its result.
int list_all(CServiceConnection& conn) {
  std::list<_path_buffer*> entries;
  const int result = conn.getfilelist(L"\\", true, entries);
  for (_path_buffer* e : entries) delete e;
  return result;
}

std::string errcode_of(const std::string& reply) { return attribute_of(reply, "errcode"); }

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int open_descriptors(pid_t pid) {
  int count = 0;
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  for (const std::string& name : tree_listing(dir)) count += name.find('/') == std::string::npos;
  return count;
}

// Sets the soft limit only, so that it can be raised again.
void limit_descriptors(pid_t pid, rlim_t limit) {
  struct rlimit value;
  ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, nullptr, &value), 0) << std::strerror(errno);
  value.rlim_cur = limit;
  ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &value, nullptr), 0) << std::strerror(errno);
}

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(ServiceDefences, SilentConnectionsNeitherBlockLoginsNorStay) {
  ServiceEnv env(0, {"--login-grace", "1", "--idle-timeout", "2", "--max-pending", "8"});
  ASSERT_TRUE(env.started) << env.service.log();
  std::vector<std::unique_ptr<WireClient>> silent;
  for (int i = 0; i < 40; ++i) {
    silent.push_back(std::make_unique<WireClient>(env.service.port()));
    if (i % 2 == 1) silent.back()->send("<login User=\"alice\" Pass");  // half a request
  }
  // Far more than the pending slots, yet a real client is served at once.
  CServiceConnection conn;
  const auto start = Clock::now();
  ASSERT_TRUE(login(conn, env.service.port())) << env.service.log();
  EXPECT_EQ(list_all(conn), 0);
  EXPECT_LT(seconds_since(start), 2.0);

  // A connection that does not log in is closed after the grace time, one
  // that logged in after the idle time; a busy one stays.
  WireClient fresh(env.service.port());
  WireClient idle(env.service.port());
  ASSERT_FALSE(idle.login("alice", "s3cret").empty());
  const auto before = Clock::now();
  EXPECT_EQ(fresh.read_message(), "");
  EXPECT_LT(seconds_since(before), 2.0);
  EXPECT_EQ(idle.read_message(), "");
  EXPECT_GT(seconds_since(before), 1.5);
  EXPECT_LT(seconds_since(before), 4.0);
  EXPECT_NE(env.service.log().find("no login within the grace time"), std::string::npos);
  EXPECT_NE(env.service.log().find("idle for too long"), std::string::npos);
}

TEST(ServiceDefences, OutOfDescriptorsShedsConnectionsQuietly) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own";
  ServiceEnv env;
  ASSERT_TRUE(env.started) << env.service.log();
  const pid_t pid = env.service.pid();
  limit_descriptors(pid, static_cast<rlim_t>(open_descriptors(pid) + 4));
  std::vector<std::unique_ptr<WireClient>> flood;
  for (int i = 0; i < 60; ++i) flood.push_back(std::make_unique<WireClient>(env.service.port()));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const std::string log = env.service.log();
  EXPECT_LE(count_of(log, "accept: "), 2u) << log;
  flood.clear();
  limit_descriptors(pid, 1024);
  CServiceConnection conn;
  ASSERT_TRUE(login(conn, env.service.port())) << env.service.log();
  EXPECT_EQ(list_all(conn), 0);
}

// Started with no more than 64 descriptors, the service fits its caps to
// them: 300 silent connections are shed, and every real login works. The
// service is started by a child that lowers its own limits first.
TEST(ServiceDefences, CapsFitTheDescriptorsTheServiceStartsWith) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own";
  TempDir dir;
  const std::string root = dir.path() + "/root";
  ASSERT_EQ(add_service_user(root, "alice", "s3cret"), 0);
  const std::string log_path = dir.path() + "/service.log";
  int port_pipe[2], stop_pipe[2];
  ASSERT_EQ(::pipe2(port_pipe, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(stop_pipe, O_CLOEXEC), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(stop_pipe[1]);
    const struct rlimit tight = {64, 64};
    ::setrlimit(RLIMIT_NOFILE, &tight);
    {
      ServiceProcess service(root, {dir.make_dir("local")}, log_path);
      const std::uint16_t port = service.start() ? service.port() : 0;
      (void)!::write(port_pipe[1], &port, sizeof(port));
      char done;
      (void)!::read(stop_pipe[0], &done, 1);
    }
    ::_exit(0);
  }
  ::close(stop_pipe[0]);
  std::uint16_t port = 0;
  ASSERT_EQ(::read(port_pipe[0], &port, sizeof(port)), static_cast<ssize_t>(sizeof(port)));
  ASSERT_NE(port, 0) << read_file(log_path);
  std::vector<std::unique_ptr<WireClient>> silent;
  for (int i = 0; i < 300; ++i) silent.push_back(std::make_unique<WireClient>(port));
  int served = 0;
  for (int i = 0; i < 10; ++i) {
    CServiceConnection conn;
    served += login(conn, port) && list_all(conn) == 0;
  }
  EXPECT_EQ(served, 10);
  ::close(stop_pipe[1]);
  ::close(port_pipe[0]);
  ::close(port_pipe[1]);
  ::waitpid(child, nullptr, 0);
  const std::string log = read_file(log_path);
  EXPECT_NE(log.find("64 descriptors: "), std::string::npos) << log;
  EXPECT_EQ(count_of(log, "accept: "), 0u) << log;
}

TEST(ServiceDefences, GuessingIsSlowedThenLockedAndLoggedWithThePeer) {
  ServiceEnv env(0, {"--lockout", "4"});
  ASSERT_TRUE(env.started) << env.service.log();
  WireClient guesser(env.service.port());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(guesser.login("alice", "guess"), "");
  // Now even the right password is refused unchecked, on any connection.
  WireClient owner(env.service.port());
  owner.send("<login User=\"alice\" Password=\"s3cret\" ProjectName=\"\"/>");
  EXPECT_EQ(errcode_of(owner.read_message()), std::to_string(kLoginThrottled));
  // Another name is not held up.
  ASSERT_EQ(add_service_user(env.root, "bob", "b0b"), 0);
  EXPECT_FALSE(WireClient(env.service.port()).login("bob", "b0b").empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(3100));
  EXPECT_FALSE(WireClient(env.service.port()).login("alice", "s3cret").empty());

  const std::string log = env.service.log();
  EXPECT_NE(log.find("login refused for user alice, from 127.0.0.1:"), std::string::npos) << log;
  EXPECT_NE(log.find(" uid " + std::to_string(::getuid()) + ", failure 3 on this connection"),
            std::string::npos)
      << log;
}

TEST(ServiceDefences, OneUsersLoginsNeverDropAnotherUsersClientIds) {
  ServiceEnv env(0, {"--ids-per-user", "3"});
  ASSERT_TRUE(env.started) << env.service.log();
  ASSERT_EQ(add_service_user(env.root, "bob", "b0b"), 0);
  WireClient wire(env.service.port());
  const std::string bob = wire.login("bob", "b0b");
  std::vector<std::string> alice;
  for (int i = 0; i < 5; ++i) alice.push_back(wire.login("alice", "s3cret"));
  const auto info = [&](const std::string& id) {
    wire.send("<GetFileInfo PathName=\"\\\" ClientID=\"" + id + "\"/>");
    return errcode_of(wire.read_message());
  };
  EXPECT_EQ(info(bob), "");
  EXPECT_EQ(info(alice[4]), "");
  EXPECT_EQ(info(alice[2]), "");
  EXPECT_EQ(info(alice[1]), std::to_string(kNotLoggedIn));  // alice's oldest went
}

struct Grower {
  std::string path;
  int calls = 0;
};

// Appends to the local file at the first progress report.
int grow_on_first_report(std::uint64_t, std::uint64_t, void* context) {
  auto* grower = static_cast<Grower*>(context);
  if (grower->calls++ == 0) std::ofstream(grower->path, std::ios::app) << "more";
  return 0;
}

TEST(ServiceDefences, LocalFileChangingDuringUploadStoresNothing) {
  ServiceEnv env;
  ASSERT_TRUE(env.started) << env.service.log();
  CServiceConnection conn;
  ASSERT_TRUE(login(conn, env.service.port()));
  ASSERT_TRUE(write_file(env.local + "/small", "old content"));
  ASSERT_EQ(conn.addfile(widen(env.local + "/small").c_str(), L"\\kept", nullptr, nullptr), 0);
  const std::string large = env.local + "/large";
  for (const bool update : {false, true}) {
    ASSERT_TRUE(write_file(large, pattern_bytes(32u << 20, 5)));
    Grower grower{large};
    const wchar_t* target = update ? L"\\kept" : L"\\new";
    const int result =
        update ? conn.updatefile(widen(large).c_str(), target, grow_on_first_report, &grower)
               : conn.addfile(widen(large).c_str(), target, grow_on_first_report, &grower);
    EXPECT_EQ(result, -3) << update;
    EXPECT_EQ(conn.err_code, kSourceChanged);
  }
  EXPECT_EQ(env.stored_content("\\kept"), "old content");
  WIN32_FILE_ATTRIBUTE_DATA data;
  int backup_type = 0, reversion = 0;
  EXPECT_EQ(conn.getfileinfo(L"\\new", data, backup_type, reversion), -3);
  EXPECT_EQ(conn.err_code, kNotFound);
}

// Whether the process's writable memory holds `needle`.
bool memory_holds(pid_t pid, const std::string& needle) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  std::ifstream mem("/proc/" + std::to_string(pid) + "/mem", std::ios::binary);
  std::string line;
  while (std::getline(maps, line)) {
    unsigned long from = 0, to = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &from, &to, perms) != 3 || perms[1] != 'w') {
      continue;
    }
    // The heap and stacks are small; a region of gigabytes is reserved
    // address space (a sanitizer's shadow memory), not request buffers.
    if (to - from > (1ul << 30)) continue;
    std::string bytes(to - from, '\0');
    mem.clear();
    mem.seekg(static_cast<std::streamoff>(from));
    if (!mem.read(&bytes[0], static_cast<std::streamsize>(bytes.size()))) continue;
    if (bytes.find(needle) != std::string::npos) return true;
  }
  return false;
}

TEST(ServiceDefences, PrivateFilesAndNoPasswordLeftInMemory) {
  TempDir dir;
  const std::string root = dir.path() + "/root";
  ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
  const std::string local = dir.make_dir("local");
  ASSERT_EQ(::chmod(local.c_str(), 0755), 0);
  const std::string password = "pw-" + std::to_string(::getpid()) + "-91c2e7";
  ASSERT_EQ(add_service_user(root, "carol", password), 0);
  ServiceProcess service(root, {local}, dir.path() + "/service.log");
  ASSERT_TRUE(service.start());
  {
    WireClient wire(service.port());
    const std::string id = wire.login("carol", password);
    ASSERT_FALSE(id.empty());
    ASSERT_TRUE(write_file(local + "/f", "content"));
    wire.send("<AddFile PathName=\"f\" LocalPathName=\"" + local + "/f\" ClientID=\"" + id + "\"/>");
    while (wire.read_message().find("RPT ") == 1) {
    }
    wire.send("<DownloadFile PathName=\"f\" LocalPathName=\"" + local + "/restored/f\" ClientID=\"" +
              id + "\"/>");
    while (wire.read_message().find("RPT ") == 1) {
    }
    wire.send("<logout ClientID=\"" + id + "\"/>");
    wire.read_message();
  }
  for (const char* name : {"catalog.sqlite3", "catalog.sqlite3-wal", "catalog.sqlite3-shm"}) {
    struct stat st;
    ASSERT_EQ(::stat((root + "/" + name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
  }
  struct stat st;
  ASSERT_EQ(::stat((local + "/restored/f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((local + "/restored").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_FALSE(memory_holds(service.pid(), "Password=\"" + password));
  EXPECT_FALSE(memory_holds(service.pid(), password));
}

}  // namespace
