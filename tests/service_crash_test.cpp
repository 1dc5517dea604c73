// Interrupted transfers: the service killed with SIGKILL in the middle of
// an upload, or at random moments of parallel uploads, and a client that
// disconnects mid-transfer, never leave a torn or partial file behind, nor
// a file whose catalog row does not match it.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <list>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/Brevanto.h"
#include "util/sha256.h"
#include "protocol/service_connection.h"
#include "tests/service_test_env.h"
#include "tests/service_test_wire.h"

namespace {

constexpr int kNotFound = 3;
constexpr std::size_t kLargeBytes = 32u << 20;

struct Killer {
  pid_t pid;
  int calls = 0;
  std::uint64_t first_completed = 0;
  std::uint64_t first_total = 0;
};

// Kills the service at its first progress report.
int kill_on_first_report(std::uint64_t completed, std::uint64_t total, void* context) {
  auto* killer = static_cast<Killer*>(context);
  if (killer->calls++ == 0) {
    killer->first_completed = completed;
    killer->first_total = total;
    ::kill(killer->pid, SIGKILL);
  }
  return 0;
}

bool has_temp_name(const std::vector<std::string>& paths) {
  for (const std::string& p : paths) {
    if (p.find(".brevanto-tmp-") != std::string::npos) return true;
  }
  return false;
}

std::vector<std::wstring> list_all(CServiceConnection& conn) {
  std::list<_path_buffer*> entries;
  EXPECT_EQ(conn.getfilelist(L"\\", true, entries), 0);
  std::vector<std::wstring> out;
  for (_path_buffer* e : entries) {
    out.push_back(e->full_path);
    delete e;
  }
  return out;
}

class ServiceCrash : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(env.started) << env.service.log();
    ASSERT_TRUE(write_file(env.local + "/small", "old content"));
    ASSERT_TRUE(write_file(env.local + "/large", pattern_bytes(kLargeBytes, 9)));
  }

  bool login(CServiceConnection& conn) {
    conn.port = env.service.port();
    return conn.login(L"alice", L"s3cret", L"", L"1") == 0 && conn.logged_in;
  }

  // Runs `transfer` of `local_name` on a fresh connection with the killing
  // callback, then restarts the service with the same storage root.
  void kill_during(int (CServiceConnection::*transfer)(const wchar_t*, const wchar_t*,
                                                       CServiceConnection::ProgressCallback,
                                                       void*),
                   const std::string& local_name, const wchar_t* storage_path) {
    CServiceConnection conn;
    ASSERT_TRUE(login(conn));
    Killer killer{env.service.pid()};
    const std::wstring local = widen(env.local + "/" + local_name);
    EXPECT_NE((conn.*transfer)(local.c_str(), storage_path, kill_on_first_report, &killer), 0);
    // Reports the service sent before it died may still arrive.
    EXPECT_GE(killer.calls, 1);
    EXPECT_EQ(killer.first_total, kLargeBytes);
    EXPECT_LT(killer.first_completed, kLargeBytes);
    const int status = env.service.wait();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    ASSERT_TRUE(env.service.start()) << env.service.log();
  }

  ServiceEnv env;
};

TEST_F(ServiceCrash, KilledDuringAddFileLeavesNoFile) {
  {
    CServiceConnection conn;
    ASSERT_TRUE(login(conn));
    ASSERT_EQ(conn.adddir(L"\\backup"), 0);
  }
  kill_during(&CServiceConnection::addfile, "large", L"\\backup\\large");
  EXPECT_FALSE(env.stored("\\backup\\large"));
  EXPECT_FALSE(has_temp_name(tree_listing(env.root)));  // swept at start-up

  CServiceConnection conn;
  ASSERT_TRUE(login(conn));
  WIN32_FILE_ATTRIBUTE_DATA data;
  int backup_type = 0, reversion = 0;
  EXPECT_EQ(conn.getfileinfo(L"\\backup\\large", data, backup_type, reversion), -3);
  EXPECT_EQ(conn.err_code, kNotFound);
  EXPECT_EQ(list_all(conn), (std::vector<std::wstring>{L"\\.history", L"\\backup"}));
  // The path is free for a new upload.
  EXPECT_EQ(conn.addfile(widen(env.local + "/small").c_str(), L"\\backup\\large", nullptr, nullptr),
            0);
  EXPECT_EQ(conn.getfileinfo(L"\\backup\\large", data, backup_type, reversion), 0);
  EXPECT_EQ(reversion, 1);
}

TEST_F(ServiceCrash, KilledDuringUpdateFileKeepsTheOldContent) {
  {
    CServiceConnection conn;
    ASSERT_TRUE(login(conn));
    ASSERT_EQ(conn.addfile(widen(env.local + "/small").c_str(), L"\\f", nullptr, nullptr), 0);
  }
  kill_during(&CServiceConnection::updatefile, "large", L"\\f");
  EXPECT_EQ(env.stored_content("\\f"), "old content");
  EXPECT_FALSE(has_temp_name(tree_listing(env.root)));

  CServiceConnection conn;
  ASSERT_TRUE(login(conn));
  WIN32_FILE_ATTRIBUTE_DATA data;
  int backup_type = 0, reversion = 0;
  ASSERT_EQ(conn.getfileinfo(L"\\f", data, backup_type, reversion), 0);
  EXPECT_EQ(reversion, 1);
  EXPECT_EQ(data.nFileSizeLow, 11u);
  EXPECT_EQ(list_all(conn), (std::vector<std::wstring>{L"\\.history", L"\\f"}));
  ASSERT_EQ(conn.downloadfile(widen(env.local + "/restored").c_str(), L"\\f", nullptr, nullptr), 0);
  EXPECT_EQ(read_file(env.local + "/restored"), "old content");
}

TEST_F(ServiceCrash, KilledDuringDownloadLeavesTheLocalFileWhole) {
  {
    CServiceConnection conn;
    ASSERT_TRUE(login(conn));
    ASSERT_EQ(conn.addfile(widen(env.local + "/large").c_str(), L"\\large", nullptr, nullptr), 0);
  }
  ASSERT_TRUE(write_file(env.local + "/target", "previous"));
  kill_during(&CServiceConnection::downloadfile, "target", L"\\large");
  EXPECT_EQ(read_file(env.local + "/target"), "previous");
  EXPECT_FALSE(has_temp_name(tree_listing(env.local)));  // journaled, swept
  EXPECT_FALSE(has_temp_name(tree_listing(env.root)));
}

TEST_F(ServiceCrash, ClientLeavingMidUploadAbortsIt) {
  WireClient wire(env.service.port());
  const std::string id = wire.login("alice", "s3cret");
  ASSERT_FALSE(id.empty());
  ASSERT_TRUE(wire.send("<AddFile PathName=\"\\gone\" LocalPathName=\"" + env.local +
                        "/large\" ClientID=\"" + id + "\"/>"));
  EXPECT_EQ(wire.read_message().compare(0, 5, "<RPT "), 0);
  wire.close();
  // The service notices at its next chunk and removes its temp file.
  for (int i = 0; i < 500; ++i) {
    if (env.service.log().find("client gone") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_NE(env.service.log().find("client gone"), std::string::npos) << env.service.log();
  EXPECT_FALSE(env.stored("\\gone"));
  EXPECT_FALSE(has_temp_name(tree_listing(env.root)));
}

struct Upload {
  std::string content;  // what was sent
  int add_result = -1;  // AddFile, then UpdateFile with `update`, then maybe RemoveFile
  std::string update;
  int update_result = -1;
  bool remove_sent = false;
  int remove_result = -1;
};

// Changes until the service dies: each file added, then updated, every
// third one removed.
void change_until_killed(std::uint16_t port, const std::string& local, const std::string& prefix,
                         std::vector<Upload>* uploads, std::atomic<int>* logged_in) {
  CServiceConnection conn;
  conn.port = port;
  const int login = conn.login(L"alice", L"s3cret", L"", L"1");
  ++*logged_in;  // in or refused: the clock to the kill may start
  if (login != 0) return;
  for (unsigned i = 0;; ++i) {
    const std::string name = prefix + std::to_string(i);
    Upload up;
    // Small ones in the catalog, large ones in files of their own.
    up.content = pattern_bytes(1024 + (i * 7919) % (256 * 1024), i);
    up.update = pattern_bytes(512 + (i * 104729) % (128 * 1024), i % 5);
    const std::string source = local + "/" + name;
    const std::wstring storage = widen("\\" + name);
    write_file(source, up.content);
    uploads->push_back(up);
    Upload& sent = uploads->back();
    sent.add_result = conn.addfile(widen(source).c_str(), storage.c_str(), nullptr, nullptr);
    if (sent.add_result != 0) return;
    write_file(source, up.update);
    sent.update_result = conn.updatefile(widen(source).c_str(), storage.c_str(), nullptr, nullptr);
    if (sent.update_result != 0) return;
    if (i % 3 == 2) {
      sent.remove_sent = true;
      sent.remove_result = conn.removefile(storage.c_str());
      if (sent.remove_result != 0) return;
    }
  }
}

// Logs in and out until the service dies: each logout makes a point, and
// the points beyond the few kept are collected with what only they needed.
void make_points_until_killed(std::uint16_t port) {
  for (;;) {
    CServiceConnection conn;
    conn.port = port;
    if (conn.login(L"alice", L"s3cret", L"", L"1") != 0) return;
    if (conn.adddir(L"\\points") != 0 || conn.logout() != 0) return;
  }
}

// The stored file's bytes, read through `conn`.
std::string read_stored(CServiceConnection& conn, const std::string& local,
                        const std::wstring& path, bool* present) {
  const std::string copy = local + "/.copy";
  *present = conn.downloadfile(widen(copy).c_str(), path.c_str(), nullptr, nullptr) == 0;
  return *present ? read_file(copy) : std::string();
}

// SIGKILL at 50 random moments (BREVANTO_CRASH_ROUNDS; fewer under the
// sanitizers) while four clients add, update and remove side by side and
// points are made and collected: every change that was
// answered is there, every stored file is whole (one of the versions sent)
// with its size and Reversion, and every file of every point reads whole.
TEST(ServiceCrashes, KilledAtRandomDuringParallelChangesKeepsEveryAnsweredChange) {
  ServiceEnv env(0, {"--keep-last", "2", "--keep-daily", "0", "--keep-weekly", "0",
                     "--keep-monthly", "0", "--keep-within", "0"});
  ASSERT_TRUE(env.started) << env.service.log();
  std::mt19937 random(20261207);
  std::vector<std::pair<std::string, std::vector<Upload>>> all;
  const char* rounds_text = std::getenv("BREVANTO_CRASH_ROUNDS");
  const int rounds = rounds_text != nullptr ? std::atoi(rounds_text) : 50;
  for (int round = 0; round < rounds; ++round) {
    std::vector<std::vector<Upload>> uploads(4);
    std::vector<std::thread> clients;
    std::atomic<int> logged_in{0};
    for (int c = 0; c < 4; ++c) {
      const std::string prefix = "r" + std::to_string(round) + "c" + std::to_string(c) + "-";
      clients.emplace_back(change_until_killed, env.service.port(), env.local, prefix,
                           &uploads[c], &logged_in);
    }
    clients.emplace_back(make_points_until_killed, env.service.port());
    // The random moment falls among the changes, not among the logins (a
    // login's password hash takes long on a busy machine).
    for (int waited = 0; logged_in < 4 && waited < 30000; waited += 5) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 180));
    env.service.stop(SIGKILL);
    for (std::thread& t : clients) t.join();
    ASSERT_TRUE(env.service.start()) << env.service.log();
    for (int c = 0; c < 4; ++c) {
      all.emplace_back("r" + std::to_string(round) + "c" + std::to_string(c) + "-", uploads[c]);
    }
  }
  CServiceConnection conn;
  conn.port = env.service.port();
  ASSERT_EQ(conn.login(L"alice", L"s3cret", L"", L"1"), 0);
  int stored = 0;
  for (const auto& client : all) {
    for (std::size_t i = 0; i < client.second.size(); ++i) {
      const Upload& up = client.second[i];
      const std::wstring path = widen("\\" + client.first + std::to_string(i));
      bool present = false;
      const std::string content = read_stored(conn, env.local, path, &present);
      SCOPED_TRACE(client.first + std::to_string(i));
      if (up.remove_result == 0) {
        EXPECT_FALSE(present);
      } else if (up.add_result == 0 && !up.remove_sent) {
        EXPECT_TRUE(present);
      }
      if (!present) continue;
      ++stored;
      if (up.update_result == 0) {
        EXPECT_EQ(content, up.update);
      } else {
        EXPECT_TRUE(content == up.content || content == up.update);
      }
      WIN32_FILE_ATTRIBUTE_DATA data;
      int backup_type = 0, reversion = 0;
      ASSERT_EQ(conn.getfileinfo(path.c_str(), data, backup_type, reversion), 0);
      EXPECT_EQ(data.nFileSizeLow, content.size());
      EXPECT_EQ(reversion, content == up.content ? 1 : 2);
    }
  }
  EXPECT_GT(stored, 0);
  std::list<_path_buffer*> entries;
  ASSERT_EQ(conn.getfilelist(L"\\.history", true, entries), 0);
  int point_files = 0;
  for (_path_buffer* e : entries) {
    if (!e->is_dir) {
      bool present = false;
      read_stored(conn, env.local, e->full_path, &present);
      EXPECT_TRUE(present);
      ++point_files;
    }
    delete e;
  }
  EXPECT_FALSE(has_temp_name(tree_listing(env.root + "/store")));
}

}  // namespace
