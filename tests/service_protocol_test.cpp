// The service's protocol through CServiceConnection and a bare wire client,
// on ports of their own: ClientID checks, malformed requests, long
// listings, disconnecting clients, a clean stop.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <list>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/Brevanto.h"
#include "protocol/service_connection.h"
#include "tests/service_test_env.h"
#include "tests/service_test_wire.h"

namespace {

constexpr int kNotLoggedIn = 1;
constexpr int kBadRequest = 2;

// Logs a connection in to the service under test.
bool login(CServiceConnection& conn, std::uint16_t port, const wchar_t* user = L"alice",
           const wchar_t* password = L"s3cret", const wchar_t* project = L"") {
  conn.port = port;
  return conn.login(user, password, project, L"1") == 0 && conn.logged_in;
}

// Lists `dir` recursively; the full paths in order, or the error result.
std::vector<std::wstring> list_all(CServiceConnection& conn, const wchar_t* dir, int* result) {
  std::list<_path_buffer*> entries;
  *result = conn.getfilelist(dir, true, entries);
  std::vector<std::wstring> out;
  for (_path_buffer* e : entries) {
    out.push_back(e->full_path);
    delete e;
  }
  return out;
}

TEST(ServiceProtocol, ForgedAndStaleClientIdsAreRefused) {
  ServiceEnv env;
  ASSERT_TRUE(env.started) << env.service.log();
  std::string stale;
  {
    CServiceConnection conn;
    ASSERT_TRUE(login(conn, env.service.port()));
    EXPECT_EQ(conn.client_id.size(), 32u);
    EXPECT_EQ(conn.client_id.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(conn.adddir(L"\\kept"), 0);
    stale = conn.client_id;
    EXPECT_EQ(conn.logout(), 0);
  }
  const std::vector<std::string> forged = {stale, "0", "", std::string(32, '0'),
                                           stale.substr(0, 31) + (stale[31] == 'a' ? "b" : "a")};
  for (const std::string& id : forged) {
    CServiceConnection conn;
    conn.port = env.service.port();
    ASSERT_EQ(conn.go_online(conn.host.c_str(), conn.port), 0);
    conn.client_id = id;
    WIN32_FILE_ATTRIBUTE_DATA data;
    int backup_type = 0, reversion = 0;
    EXPECT_EQ(conn.getfileinfo(L"\\kept", data, backup_type, reversion), -3) << id;
    EXPECT_EQ(conn.err_code, kNotLoggedIn);
    EXPECT_EQ(conn.adddir(L"\\forged"), -3);
    EXPECT_EQ(conn.removedir(L"\\kept"), -3);
    int result = 0;
    EXPECT_TRUE(list_all(conn, L"\\", &result).empty());
    EXPECT_EQ(result, -3);
    EXPECT_EQ(conn.err_code, kNotLoggedIn);
  }
  EXPECT_TRUE(env.stored("\\kept"));
  EXPECT_FALSE(env.stored("\\forged"));
}

TEST(ServiceProtocol, ClientIdIsBoundToUserAndProject) {
  ServiceEnv env;
  ASSERT_TRUE(env.started) << env.service.log();
  ASSERT_EQ(add_service_user(env.root, "bob", "hunter2"), 0);
  ASSERT_NE(add_service_user(env.root, "bob", "again"), 0);  // taken
  CServiceConnection alice, alice_work, bob;
  ASSERT_TRUE(login(alice, env.service.port()));
  ASSERT_TRUE(login(alice_work, env.service.port(), L"alice", L"s3cret", L"work"));
  ASSERT_TRUE(login(bob, env.service.port(), L"bob", L"hunter2"));
  EXPECT_EQ(alice.adddir(L"\\a-default"), 0);
  EXPECT_EQ(alice_work.adddir(L"\\a-work"), 0);
  EXPECT_EQ(bob.adddir(L"\\b"), 0);
  int result = 0;
  // Each top holds its own entry and its folder of earlier versions.
  using Paths = std::vector<std::wstring>;
  EXPECT_EQ(list_all(alice, L"", &result), (Paths{L"\\.history", L"\\a-default"}));
  EXPECT_EQ(list_all(alice_work, L"", &result), (Paths{L"\\.history", L"\\a-work"}));
  EXPECT_EQ(list_all(bob, L"", &result), (Paths{L"\\.history", L"\\b"}));

  // A ClientID works from any connection, with its own binding.
  CServiceConnection other;
  other.port = env.service.port();
  ASSERT_EQ(other.go_online(other.host.c_str(), other.port), 0);
  other.client_id = bob.client_id;
  EXPECT_EQ(list_all(other, L"", &result), (Paths{L"\\.history", L"\\b"}));
}

TEST(ServiceProtocol, MalformedRequestsGetErrorRepliesAndNeverStopTheService) {
  ServiceEnv env;
  ASSERT_TRUE(env.started) << env.service.log();
  WireClient wire(env.service.port());
  ASSERT_TRUE(wire.connected());
  const std::string id = wire.login("alice", "s3cret");
  ASSERT_EQ(id.size(), 32u);

  const std::vector<std::string> bad = {
      "no tag at all",
      "<Frobnicate ClientID=\"" + id + "\"/>",
      "<GetFileInfo ClientID=\"" + id + "\"/>",                        // no PathName
      "<AddFile PathName=\"\\x\" ClientID=\"" + id + "\"/>",           // no LocalPathName
      "<GetFileList SearchSubDirs=\"true\" ClientId=\"" + id + "\"/>",  // no StartDir
      "<login User=\"alice\"/>",                                       // no Password
      "<GetFileInfo PathName=\"\\a" + std::string(1, '\0') + "b\" ClientID=\"" + id + "\"/>",
  };
  for (const std::string& request : bad) {
    ASSERT_TRUE(wire.send(request));
    const std::string reply = wire.read_message();
    EXPECT_EQ(attribute_of(reply, "Result"), "failed") << request;
    EXPECT_EQ(attribute_of(reply, "errcode"), std::to_string(kBadRequest)) << request;
    bool has_id = true;
    attribute_of(reply, "ClientID", &has_id);
    EXPECT_FALSE(has_id);
  }
  // Blank bytes between requests, and two requests in one send.
  ASSERT_TRUE(wire.send("\r\n  <AddDir PathName=\"\\p\" ClientID=\"" + id +
                        "\" /><GetFileInfo PathName=\"\\p\" ClientID=\"" + id + "\"/>"));
  EXPECT_EQ(attribute_of(wire.read_message(), "Result"), "success");
  EXPECT_EQ(attribute_of(wire.read_message(), "Size"), "0");
  // Paths holding '"', '<' or '>', sent unescaped in one send: each read at
  // once as one request and answered (a reply within the wire's 10 s).
  for (const char* path : {"\\q\"x", "\\a\"b\"c\"", "\\l<t", "\\g>t"}) {
    ASSERT_TRUE(wire.send(std::string("<AddDir PathName=\"") + path + "\" ClientID=\"" + id +
                          "\" />"));
    EXPECT_NE(attribute_of(wire.read_message(), "Result"), "") << path;
  }

  // A request that never ends is cut off at the framer's bound.
  WireClient flood(env.service.port());
  ASSERT_TRUE(flood.send("<AddDir PathName=\"" + std::string(1100000, 'x')));
  const std::string reply = flood.read_message();
  EXPECT_EQ(attribute_of(reply, "errcode"), std::to_string(kBadRequest));
  EXPECT_EQ(flood.read_message(), "");  // then closed

  // The first connection still works.
  ASSERT_TRUE(wire.send("<GetFileInfo PathName=\"\\\" ClientID=\"" + id + "\"/>"));
  EXPECT_EQ(attribute_of(wire.read_message(), "Result"), "success");
}

// The paths of `count` files with long names in `dir`.
std::vector<std::string> file_paths(const std::string& dir, int count) {
  std::vector<std::string> paths;
  for (int i = 0; i < count; ++i) {
    char name[64];
    std::snprintf(name, sizeof(name), "\\entry-%05d-with-a-longer-name.txt", i);
    paths.push_back(dir + name);
  }
  return paths;
}

// One service with 3000 files in \big and 1000 more in \big\sub, shared
// by the listing tests because making files is the slow part.
class ServiceLargeListing : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    env = new ServiceEnv;
    ASSERT_TRUE(env->started) << env->service.log();
    conn = new CServiceConnection;
    ASSERT_TRUE(login(*conn, env->service.port()));  // makes the tree
    std::vector<std::string> paths = file_paths("\\big", 3000);
    const std::vector<std::string> below = file_paths("\\big\\sub", 1000);
    paths.insert(paths.end(), below.begin(), below.end());
    ASSERT_TRUE(env->seed_files(paths));
  }
  static void TearDownTestSuite() {
    delete conn;
    delete env;
  }
  void SetUp() override { ASSERT_TRUE(conn != nullptr && conn->logged_in); }

  static ServiceEnv* env;
  static CServiceConnection* conn;
};

ServiceEnv* ServiceLargeListing::env = nullptr;
CServiceConnection* ServiceLargeListing::conn = nullptr;

TEST_F(ServiceLargeListing, ThousandsOfEntriesSpanManyMessages) {
  int result = -99;
  const std::vector<std::wstring> all = list_all(*conn, L"\\big", &result);
  EXPECT_EQ(result, 0);
  ASSERT_EQ(all.size(), 4001u);
  EXPECT_EQ(all[0], L"\\big\\entry-00000-with-a-longer-name.txt");
  EXPECT_EQ(all[2999], L"\\big\\entry-02999-with-a-longer-name.txt");
  EXPECT_EQ(all[3000], L"\\big\\sub");
  EXPECT_EQ(all[3001], L"\\big\\sub\\entry-00000-with-a-longer-name.txt");
  EXPECT_EQ(std::set<std::wstring>(all.begin(), all.end()).size(), all.size());

  WIN32_FILE_ATTRIBUTE_DATA data;
  int backup_type = 7, reversion = 7;
  EXPECT_EQ(conn->getfileinfo(L"\\big\\entry-00001-with-a-longer-name.txt", data, backup_type,
                              reversion),
            0);
  EXPECT_EQ(reversion, 1);
  EXPECT_EQ(backup_type, 0);

  // On the wire: RPT messages of at most 4096 bytes, then one ACK.
  WireClient wire(env->service.port());
  ASSERT_TRUE(wire.send("<GetFileList StartDir=\"\\big\" SearchSubDirs=\"false\" ClientId=\"" +
                        conn->client_id + "\"/>"));
  int rpt = 0, files = 0, dirs = 0;
  for (;;) {
    const std::string message = wire.read_message();
    ASSERT_FALSE(message.empty());
    EXPECT_LE(message.size(), 4096u);
    EXPECT_EQ(attribute_of(message, "Result"), "success");
    for (std::size_t at = message.find("<file "); at != std::string::npos;
         at = message.find("<file ", at + 1)) {
      ++files;
    }
    if (message.find("<dir ParentDir=\"\\big\\\" Name=\"sub\"/>") != std::string::npos) ++dirs;
    if (message.compare(0, 5, "<RPT ") != 0) {
      EXPECT_EQ(message.compare(0, 5, "<ACK "), 0);
      break;
    }
    ++rpt;
  }
  EXPECT_EQ(files, 3000);
  EXPECT_EQ(dirs, 1);
  EXPECT_GT(rpt, 30);
}

TEST_F(ServiceLargeListing, ClientLeavingMidListingDoesNotDisturbAnother) {
  for (int round = 0; round < 3; ++round) {
    // A reader with a small window, so the service is still sending when it
    // leaves.
    WireClient leaver(env->service.port(), 4096);
    ASSERT_TRUE(leaver.send("<GetFileList StartDir=\"\\big\" SearchSubDirs=\"true\" ClientId=\"" +
                            conn->client_id + "\"/>"));
    int result = -99;
    std::vector<std::wstring> all;
    std::thread other([&] { all = list_all(*conn, L"\\big", &result); });
    EXPECT_EQ(leaver.read_message().compare(0, 5, "<RPT "), 0);
    leaver.close();
    other.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(all.size(), 4001u);
  }
  // The service was still sending when the reader left.
  EXPECT_NE(env->service.log().find("client gone"), std::string::npos) << env->service.log();
  WIN32_FILE_ATTRIBUTE_DATA data;
  int backup_type = 0, reversion = 0;
  EXPECT_EQ(conn->getfileinfo(L"\\big", data, backup_type, reversion), 0);
}

// A connection keeps the folders it used open; one that another connection
// removed and made again is the new one, and a folder listed twice lists
// whole twice.
TEST(ServiceProtocol, FoldersRemovedByAnotherConnectionAreOpenedAfresh) {
  ServiceEnv env;
  ASSERT_TRUE(env.started) << env.service.log();
  ASSERT_TRUE(write_file(env.local + "/f", "content"));
  const std::wstring source = widen(env.local + "/f");
  CServiceConnection a, b;
  ASSERT_TRUE(login(a, env.service.port()));
  ASSERT_TRUE(login(b, env.service.port()));
  ASSERT_EQ(a.adddir(L"\\d\\e"), 0);
  ASSERT_EQ(a.addfile(source.c_str(), L"\\d\\e\\one", nullptr, nullptr), 0);
  ASSERT_EQ(b.removedir(L"\\d"), 0);
  ASSERT_EQ(b.adddir(L"\\d\\e"), 0);
  EXPECT_EQ(a.addfile(source.c_str(), L"\\d\\e\\two", nullptr, nullptr), 0);
  EXPECT_EQ(env.stored_content("\\d\\e\\two"), "content");
  EXPECT_FALSE(env.stored("\\d\\e\\one"));
  int result = 0;
  const std::vector<std::wstring> expected = {L"\\d\\e\\two"};
  EXPECT_EQ(list_all(a, L"\\d\\e", &result), expected);
  EXPECT_EQ(list_all(a, L"\\d\\e", &result), expected);
  EXPECT_EQ(result, 0);
}

// At the default level an existence check that finds nothing writes no
// line; a refused login does.
TEST(ServiceProtocol, QuietLogAtTheDefaultLevel) {
  ServiceEnv env(0, {"--log-level", "warn"});
  ASSERT_TRUE(env.started) << env.service.log();
  CServiceConnection conn;
  ASSERT_TRUE(login(conn, env.service.port()));
  WIN32_FILE_ATTRIBUTE_DATA data;
  int backup_type = 0, reversion = 0;
  EXPECT_EQ(conn.getfileinfo(L"\\absent", data, backup_type, reversion), -3);
  CServiceConnection intruder;
  EXPECT_FALSE(login(intruder, env.service.port(), L"alice", L"wrong"));
  const std::string log = env.service.log();
  EXPECT_EQ(log.find("error 3"), std::string::npos) << log;
  EXPECT_EQ(log.find("info: "), std::string::npos) << log;
  EXPECT_NE(log.find("warn: conn 2: login refused for user alice"), std::string::npos) << log;
  EXPECT_NE(log.find("listening on 127.0.0.1:"), std::string::npos) << log;
}

TEST(ServiceProtocol, StopsCleanlyOnSigterm) {
  ServiceEnv env;
  ASSERT_TRUE(env.started) << env.service.log();
  // One service per storage root.
  ServiceProcess second(env.root, {env.local}, env.dir.path() + "/second.log");
  EXPECT_FALSE(second.start());
  EXPECT_NE(second.log().find("another service"), std::string::npos);

  CServiceConnection idle;
  ASSERT_TRUE(login(idle, env.service.port()));  // a session waiting for requests
  const int status = env.service.stop(SIGTERM);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string log = env.service.log();
  EXPECT_NE(log.find("stopped"), std::string::npos) << log;
  EXPECT_EQ(log.find("s3cret"), std::string::npos);
}

}  // namespace
