// Two service processes on one PostgreSQL catalog, each in a network
// namespace of its own (so both listen on 127.0.0.1:11001, as on two
// hosts), reached from this process by entering each namespace in turn.
// Runs as root and only when BREVANTO_TEST_PG names a database.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/service_test_files.h"
#include "tests/service_test_process.h"
#include "tests/store_model_session.h"
#include "tests/store_test_catalogs.h"

namespace {

// A network namespace with its loopback up, entered and left by threads.
class NetNamespace {
 public:
  // Makes a new namespace; the calling thread is back in its own after.
  NetNamespace() {
    const int home = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (home < 0 || ::unshare(CLONE_NEWNET) != 0) {
      if (home >= 0) ::close(home);
      return;
    }
    if (std::system("ip link set lo up") == 0) {
      fd_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    }
    (void)::setns(home, CLONE_NEWNET);
    ::close(home);
  }
  ~NetNamespace() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool valid() const { return fd_ >= 0; }
  // The calling thread's sockets and children are made in it from now on.
  bool enter() const { return ::setns(fd_, CLONE_NEWNET) == 0; }

 private:
  int fd_ = -1;
};

// Runs `body` on a thread of its own inside `ns`.
void inside(const NetNamespace& ns, const std::function<void()>& body) {
  std::thread thread([&] {
    ASSERT_TRUE(ns.enter());
    body();
  });
  thread.join();
}

class TwoServices : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = pg_test_skip_reason();
    if (!why.empty()) GTEST_SKIP() << why;
    if (::geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    if (!ns_[0].valid() || !ns_[1].valid()) GTEST_SKIP() << "cannot make network namespaces";
    reset_test_pg();
    local_ = dir_.make_dir("local");
    for (int i = 0; i < 2; ++i) {
      roots_[i] = dir_.make_dir("root" + std::to_string(i));
      ASSERT_EQ(add_service_user(roots_[i], "ann", "secret"), 0);
    }
  }

  // Starts both services, each in its namespace, on port 11001.
  void start() {
    for (int i = 0; i < 2; ++i) {
      services_[i] = std::make_unique<ServiceProcess>(
          roots_[i], std::vector<std::string>{local_}, roots_[i] + ".log",
          std::vector<std::string>{"--catalog", test_pg_conninfo(), "--keep-last", "1",
                                   "--keep-daily", "0", "--keep-weekly", "0", "--keep-monthly",
                                   "0"});
      inside(ns_[i], [&] { ASSERT_TRUE(services_[i]->start(11001)) << services_[i]->log(); });
    }
  }

  // A logged-in session with service i, on the calling thread.
  static bool login(ModelSession& session) {
    return session.connected() && session.login("ann", "secret", "");
  }

  NetNamespace ns_[2];
  TempDir dir_;
  std::string local_;
  std::string roots_[2];
  std::unique_ptr<ServiceProcess> services_[2];
};

TEST_F(TwoServices, AFileStoredThroughOneIsListedAndReadThroughTheOther) {
  start();
  ASSERT_TRUE(write_file(local_ + "/a.txt", "stored through the first"));
  inside(ns_[0], [&] {
    ModelSession s(11001);
    ASSERT_TRUE(login(s));
    EXPECT_TRUE(s.add_dir("docs").ok());
    EXPECT_TRUE(s.add_file("docs\\a.txt", local_ + "/a.txt").ok());
    EXPECT_TRUE(s.logout().ok());
  });
  inside(ns_[1], [&] {
    ModelSession s(11001);
    ASSERT_TRUE(login(s));
    std::vector<ListedEntry> listed;
    EXPECT_TRUE(s.list("docs", false, &listed).ok());
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].path, "docs\\a.txt");
    EXPECT_TRUE(s.download("docs\\a.txt", local_ + "/copy.txt").ok());
    EXPECT_EQ(read_file(local_ + "/copy.txt"), "stored through the first");
    // The path is taken for both services.
    EXPECT_EQ(s.add_file("docs\\a.txt", local_ + "/a.txt").errcode, 4);
  });
}

// Both services store the same contents; one removes its copies and both
// log out at once (each logout makes a point and collects, one point
// kept): the contents the other's files need stay, through either service.
TEST_F(TwoServices, CollectingAtOnceNeverDeletesAContentTheOtherNeeds) {
  start();
  constexpr int kFiles = 12;
  for (int i = 0; i < kFiles; ++i) {
    ASSERT_TRUE(write_file(local_ + "/c" + std::to_string(i), pattern_bytes(3000 + i, i)));
  }
  for (int round = 0; round < 3; ++round) {
    std::vector<std::thread> clients;
    for (int side = 0; side < 2; ++side) {
      clients.emplace_back([&, side, round] {
        ASSERT_TRUE(ns_[side].enter());
        ModelSession s(11001);
        ASSERT_TRUE(login(s));
        const std::string prefix = (side == 0 ? "gone" : "kept") + std::to_string(round) + "-";
        for (int i = 0; i < kFiles; ++i) {
          const std::string name = prefix + std::to_string(i);
          EXPECT_TRUE(s.add_file(name, local_ + "/c" + std::to_string(i)).ok()) << name;
          if (side == 0) {
            EXPECT_TRUE(s.remove(name).ok()) << name;
          }
        }
        EXPECT_TRUE(s.logout().ok());
      });
    }
    for (std::thread& c : clients) c.join();
  }
  for (int side = 0; side < 2; ++side) {
    inside(ns_[side], [&] {
      ModelSession s(11001);
      ASSERT_TRUE(login(s));
      for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < kFiles; ++i) {
          const std::string name = "kept" + std::to_string(round) + "-" + std::to_string(i);
          const std::string copy = local_ + "/read" + std::to_string(side);
          EXPECT_TRUE(s.download(name, copy).ok()) << name;
          EXPECT_TRUE(read_file(copy) == pattern_bytes(3000 + i, i)) << name;
        }
      }
      std::vector<ListedEntry> listed;
      EXPECT_TRUE(s.list("", false, &listed).ok());
      EXPECT_EQ(listed.size(), 1u + 3 * kFiles);  // .history and the kept files
      EXPECT_TRUE(s.logout().ok());
    });
  }
  // The check, once both stopped (it takes the root's lock).
  for (auto& service : services_) service->stop(SIGTERM);
  const std::string command = std::string(BREVANTO_SERVICE_PATH) + " --root '" + roots_[0] +
                              "' --catalog '" + test_pg_conninfo() + "' check";
  EXPECT_EQ(std::system(command.c_str()), 0);
}

}  // namespace
