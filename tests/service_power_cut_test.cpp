// A power cut at a random moment of parallel adds, updates and removes
// (see power_cut_image.h for how it is simulated): every change that a
// logout has since confirmed is there, every change answered more than a
// second and a half before the cut is there, every stored file is a whole
// version that was sent, and the store passes its own check.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "protocol/service_connection.h"
#include "tests/power_cut_image.h"
#include "tests/service_test_env.h"

namespace {

using Clock = std::chrono::steady_clock;

struct FileLog {
  std::string name;
  std::string first, second;  // the added and the updated content
  int answered = 0;           // changes answered: 1 added, 2 updated, 3 removed
  Clock::time_point answered_at;
  int confirmed = 0;          // answered changes a logout confirmed since
};

// Adds, updates and every fourth file removes, logging out after every
// eight files, until the service is gone.
void change_until_cut(std::uint16_t port, const std::string& local, const std::string& prefix,
                      std::vector<FileLog>* files) {
  CServiceConnection conn;
  conn.port = port;
  std::size_t unconfirmed_from = 0;
  for (unsigned i = 0;; ++i) {
    if (!conn.logged_in && conn.login(L"alice", L"s3cret", L"", L"1") != 0) return;
    FileLog log;
    log.name = prefix + std::to_string(i);
    log.first = pattern_bytes(100 + (i * 7919) % (200 * 1024), i);
    log.second = pattern_bytes(100 + (i * 104729) % (100 * 1024), i + 7);
    files->push_back(log);
    FileLog& f = files->back();
    const std::string source = local + "/" + f.name;
    const std::wstring storage = widen("\\" + f.name);
    const auto step = [&](int change, int result) {
      if (result != 0) return false;
      f.answered = change;
      f.answered_at = Clock::now();
      return true;
    };
    write_file(source, f.first);
    if (!step(1, conn.addfile(widen(source).c_str(), storage.c_str(), nullptr, nullptr))) return;
    write_file(source, f.second);
    if (!step(2, conn.updatefile(widen(source).c_str(), storage.c_str(), nullptr, nullptr))) {
      return;
    }
    if (i % 4 == 3 && !step(3, conn.removefile(storage.c_str()))) return;
    if (i % 8 == 7) {
      if (conn.logout() != 0) return;
      for (std::size_t k = unconfirmed_from; k < files->size(); ++k) {
        (*files)[k].confirmed = (*files)[k].answered;
      }
      unconfirmed_from = files->size();
      conn.go_offline();
    }
  }
}

TEST(ServicePowerCut, AnsweredAndConfirmedChangesSurvive) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the shim cannot be preloaded before the sanitizer runtime";
#endif
  std::mt19937 random(7);
  for (int round = 0; round < 3; ++round) {
    TempDir dir;
    const std::string root = dir.path() + "/root";
    const std::string shadow = dir.make_dir("shadow");
    const std::string local = dir.make_dir("local");
    ASSERT_EQ(add_service_user(root, "alice", "s3cret"), 0);
    ::sync();
    record_tree(shadow, root);
    ::setenv("LD_PRELOAD", BREVANTO_POWER_CUT_SHIM, 1);
    ::setenv("BREVANTO_POWER_CUT_ROOT", root.c_str(), 1);
    ::setenv("BREVANTO_POWER_CUT_SHADOW", shadow.c_str(), 1);
    ServiceProcess service(root, {local}, dir.path() + "/service.log");
    const bool started = service.start();
    ::unsetenv("LD_PRELOAD");
    ASSERT_TRUE(started) << service.log();

    std::vector<std::vector<FileLog>> logs(3);
    std::vector<std::thread> clients;
    for (int c = 0; c < 3; ++c) {
      clients.emplace_back(change_until_cut, service.port(), local, "c" + std::to_string(c) + "-",
                           &logs[c]);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2000 + random() % 1000));
    service.stop(SIGKILL);
    const Clock::time_point cut = Clock::now();
    for (std::thread& t : clients) t.join();

    const std::string after = dir.path() + "/after";
    ASSERT_TRUE(rebuild(shadow, after));
    ServiceProcess again(after, {local}, dir.path() + "/again.log");
    ASSERT_TRUE(again.start()) << again.log();
    CServiceConnection conn;
    conn.port = again.port();
    ASSERT_EQ(conn.login(L"alice", L"s3cret", L"", L"1"), 0) << again.log();
    int checked = 0;
    for (const auto& files : logs) {
      for (const FileLog& f : files) {
        SCOPED_TRACE(f.name);
        const std::string copy = local + "/copy";
        const bool present = conn.downloadfile(widen(copy).c_str(), widen("\\" + f.name).c_str(),
                                               nullptr, nullptr) == 0;
        const std::string content = present ? read_file(copy) : std::string();
        // What must have survived: what a logout confirmed, or what was
        // answered more than the sync interval (and some slack) before.
        int durable = f.confirmed;
        if (f.answered > 0 && cut - f.answered_at > std::chrono::milliseconds(1500)) {
          durable = f.answered;
        }
        if (durable == 3 || (durable == 0 && !present)) continue;
        if (durable == 2) {
          EXPECT_TRUE(present && (content == f.second || f.answered == 3));
        } else if (durable == 1) {
          EXPECT_TRUE(present || f.answered == 3);
        }
        if (present) {
          EXPECT_TRUE(content == f.first || content == f.second);
        }
        ++checked;
      }
    }
    EXPECT_GT(checked, 0);
    again.stop(SIGTERM);
    const std::string command = std::string(BREVANTO_SERVICE_PATH) + " --root " + after +
                                " check >" + dir.path() + "/check.txt 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << read_file(dir.path() + "/check.txt");
  }
}

}  // namespace
