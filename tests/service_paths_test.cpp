// Storage and local paths that try to leave their trees are refused, and
// nothing outside the storage root and the local root is ever written.
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <string>
#include <vector>

#include "client/Brevanto.h"
#include "protocol/service_connection.h"
#include "tests/service_test_env.h"
#include "tests/service_test_wire.h"

namespace {

constexpr int kNotFound = 3;
constexpr int kInvalidPath = 5;
constexpr int kLocalRefused = 6;
constexpr int kNotADirectory = 10;

class ServicePaths : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(env.started) << env.service.log();
    conn.port = env.service.port();
    ASSERT_EQ(conn.login(L"alice", L"s3cret", L"", L"1"), 0);
    ASSERT_TRUE(conn.logged_in);
    ASSERT_TRUE(write_file(env.local + "/data.txt", "payload"));
    ASSERT_TRUE(write_file(env.outside + "/secret.txt", "outside content"));
    outside_before = tree_listing(env.outside);
  }

  void TearDown() override {
    // Nothing was written or removed outside.
    EXPECT_EQ(tree_listing(env.outside), outside_before);
    EXPECT_EQ(read_file(env.outside + "/secret.txt"), "outside content");
  }

  int info(const wchar_t* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    int backup_type = 0, reversion = 0;
    return conn.getfileinfo(path, data, backup_type, reversion);
  }

  std::wstring local(const std::string& path) { return widen(env.local + path); }

  ServiceEnv env;
  CServiceConnection conn;
  std::vector<std::string> outside_before;
};

TEST_F(ServicePaths, TreesStayShallowEnoughToRemoveWhole) {
  std::wstring deepest;
  for (int i = 0; i < 64; ++i) deepest += L"\\d";
  EXPECT_EQ(conn.adddir(deepest.c_str()), 0);
  EXPECT_EQ(conn.adddir((deepest + L"\\e").c_str()), -3);
  EXPECT_EQ(conn.err_code, kInvalidPath);
  EXPECT_EQ(conn.removedir(L"\\d"), 0);  // the whole tree, not a part of it
  EXPECT_EQ(info(L"\\d"), -3);
  EXPECT_EQ(conn.err_code, kNotFound);
}

TEST_F(ServicePaths, StoragePathsCannotLeaveTheTree) {
  const std::vector<std::wstring> bad = {
      L"\\..\\..\\etc",   L"..",          L"\\a\\..\\..\\b",  L"\\.\\a",
      L"\\a/b",           L"/etc/passwd", L"\\a\\..",         L"\\..\\..\\root\\data",
      L"\\.brevanto-tmp-0123456789abcdef",
  };
  for (const std::wstring& path : bad) {
    EXPECT_EQ(conn.adddir(path.c_str()), -3);
    EXPECT_EQ(conn.err_code, kInvalidPath);
    EXPECT_EQ(info(path.c_str()), -3);
    EXPECT_EQ(conn.err_code, kInvalidPath);
    EXPECT_EQ(conn.addfile(local("/data.txt").c_str(), path.c_str(), nullptr, nullptr), -3);
    EXPECT_EQ(conn.err_code, kInvalidPath);
    EXPECT_EQ(conn.removefile(path.c_str()), -3);
    EXPECT_EQ(conn.err_code, kInvalidPath);
    EXPECT_EQ(conn.downloadfile(local("/x").c_str(), path.c_str(), nullptr, nullptr), -3);
    std::list<_path_buffer*> entries;
    EXPECT_EQ(conn.getfilelist(path.c_str(), true, entries), -3);
    EXPECT_TRUE(entries.empty());
  }
  // Nothing new anywhere: the tree holds only its folder of earlier versions.
  std::list<_path_buffer*> top;
  EXPECT_EQ(conn.getfilelist(L"\\", true, top), 0);
  ASSERT_EQ(top.size(), 1u);
  EXPECT_EQ(top.front()->full_path, L"\\.history");
  for (_path_buffer* e : top) delete e;
  EXPECT_FALSE(path_exists(env.root + "/etc"));
  EXPECT_FALSE(path_exists(env.local + "/x"));

  // Leading and doubled backslashes are harmless spellings.
  EXPECT_EQ(conn.adddir(L"a\\\\b"), 0);
  EXPECT_EQ(info(L"\\a\\b\\"), 0);
  EXPECT_EQ(conn.addfile(local("/data.txt").c_str(), L"\\a\\b\\f", nullptr, nullptr), 0);
  EXPECT_EQ(conn.adddir(L"\\a\\b\\f\\g"), -3);  // a file in the way
  EXPECT_EQ(conn.err_code, kNotADirectory);
  EXPECT_EQ(conn.removefile(L"\\"), -3);  // not the root
  EXPECT_EQ(conn.err_code, kInvalidPath);
}

TEST_F(ServicePaths, LocalPathsOutsideTheLocalRootAreRefused) {
  ASSERT_EQ(::symlink(env.outside.c_str(), (env.local + "/link-out").c_str()), 0);
  ASSERT_EQ(::symlink((env.outside + "/secret.txt").c_str(), (env.local + "/file-out").c_str()), 0);
  EXPECT_EQ(conn.adddir(L"\\d"), 0);

  const std::vector<std::wstring> bad_sources = {
      widen(env.outside + "/secret.txt"),
      local("/../outside/secret.txt"),
      local("/link-out/secret.txt"),
      local("/file-out"),
      local("/missing.txt"),
      local(""),  // the root itself is no file
      L"relative/data.txt",
      L"/etc/passwd",
  };
  for (const std::wstring& path : bad_sources) {
    EXPECT_EQ(conn.addfile(path.c_str(), L"\\d\\copy", nullptr, nullptr), -3);
    EXPECT_EQ(conn.err_code, kLocalRefused);
  }
  EXPECT_EQ(info(L"\\d\\copy"), -3);
  EXPECT_EQ(conn.err_code, kNotFound);

  ASSERT_EQ(conn.addfile(local("/data.txt").c_str(), L"\\d\\f", nullptr, nullptr), 0);
  const std::vector<std::wstring> bad_targets = {
      widen(env.outside + "/new.txt"),
      widen(env.outside + "/secret.txt"),
      local("/../outside/new.txt"),
      local("/link-out/new.txt"),
      local("/link-out/sub/new.txt"),
      local("/new/../../outside/new.txt"),
      local("/.."),
      local("/"),
      widen(env.dir.path() + "/new.txt"),
  };
  for (const std::wstring& path : bad_targets) {
    EXPECT_EQ(conn.downloadfile(path.c_str(), L"\\d\\f", nullptr, nullptr), -3);
    EXPECT_EQ(conn.err_code, kLocalRefused);
  }
  EXPECT_FALSE(path_exists(env.dir.path() + "/new.txt"));
  EXPECT_FALSE(path_exists(env.local + "/new"));

  // A link as the file to write is replaced, never written through.
  EXPECT_EQ(conn.downloadfile(local("/file-out").c_str(), L"\\d\\f", nullptr, nullptr), 0);
  EXPECT_EQ(read_file(env.local + "/file-out"), "payload");

  // A link inside the local root that stays inside is fine.
  ASSERT_EQ(::symlink(env.local.c_str(), (env.local + "/link-in").c_str()), 0);
  EXPECT_EQ(conn.downloadfile(local("/link-in/back.txt").c_str(), L"\\d\\f", nullptr, nullptr), 0);
  EXPECT_EQ(read_file(env.local + "/back.txt"), "payload");
}

// A client probes where it may restore to with a DownloadFile of a storage
// path that does not exist: the local side is judged first, by the nearest
// existing ancestor, and nothing is made for the probe.
TEST_F(ServicePaths, DownloadRefusesTheLocalPathFirstAndNamesTheRoots) {
  char resolved[PATH_MAX];
  ASSERT_NE(::realpath(env.local.c_str(), resolved), nullptr);
  const std::wstring refusal = widen("local path refused (allowed: " + std::string(resolved) + ")");
  const struct {
    std::wstring target;
    int err_code;
  } probes[] = {
      {widen(env.outside + "/new/deeper/f.txt"), kLocalRefused},
      {widen(env.outside + "/f.txt"), kLocalRefused},
      {local("/../outside/x/f.txt"), kLocalRefused},
      {L"/nowhere/at/all/f.txt", kLocalRefused},
      {local("/new/deeper/f.txt"), kNotFound},
      {local("/f.txt"), kNotFound},
  };
  for (const auto& probe : probes) {
    EXPECT_EQ(conn.downloadfile(probe.target.c_str(), L"\\no\\such\\file", nullptr, nullptr),
              -3);
    EXPECT_EQ(conn.err_code, probe.err_code);
    if (probe.err_code == kLocalRefused) {
      EXPECT_EQ(conn.err_text, refusal);
    }
  }
  EXPECT_FALSE(path_exists(env.local + "/new"));
  // Uploads from outside name the roots as well.
  EXPECT_EQ(conn.addfile(widen(env.outside + "/secret.txt").c_str(), L"\\c", nullptr, nullptr), -3);
  EXPECT_EQ(conn.err_text, refusal);
}

// A local root that holds the storage root, and no local root at all.
class StorageRootFence : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(ServicePathsRoots, StorageRootFence, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Narrowed" : "Unnarrowed"; });

TEST_P(StorageRootFence, StorageRootIsNeverALocalPath) {
  TempDir dir;
  const std::string root = dir.path() + "/root";
  ASSERT_EQ(add_service_user(root, "alice", "s3cret"), 0);
  ASSERT_EQ(add_service_user(root, "bob", "hunter2"), 0);
  ServiceProcess service(root, GetParam() ? std::vector<std::string>{dir.path()}
                                          : std::vector<std::string>{},
                         dir.path() + "/service.log");
  ASSERT_TRUE(service.start()) << service.log();
  ASSERT_TRUE(write_file(dir.path() + "/data.txt", "payload"));

  CServiceConnection bob;
  bob.port = service.port();
  ASSERT_EQ(bob.login(L"bob", L"hunter2", L"", L"1"), 0);
  const std::wstring data = widen(dir.path() + "/data.txt");
  ASSERT_EQ(bob.addfile(data.c_str(), L"\\bobs", nullptr, nullptr), 0);

  CServiceConnection alice;
  alice.port = service.port();
  ASSERT_EQ(alice.login(L"alice", L"s3cret", L"", L"1"), 0);
  const std::vector<std::string> inside = {"/root/catalog.sqlite3", "/root/store/catalog.sqlite3",
                                           "/root/../root/store/catalog.sqlite3"};
  for (const std::string& path : inside) {
    EXPECT_EQ(alice.addfile(widen(dir.path() + path).c_str(), L"\\stolen", nullptr, nullptr), -3);
    EXPECT_EQ(alice.err_code, kLocalRefused);
  }
  EXPECT_EQ(alice.addfile(data.c_str(), L"\\mine", nullptr, nullptr), 0);
  const std::vector<std::string> targets = {"/root/store/catalog.sqlite3",
                                            "/root/store/content/planted", "/root/catalog.sqlite3",
                                            "/root/new/file"};
  for (const std::string& path : targets) {
    EXPECT_EQ(alice.downloadfile(widen(dir.path() + path).c_str(), L"\\mine", nullptr, nullptr),
              -3);
    EXPECT_EQ(alice.err_code, kLocalRefused);
  }
  EXPECT_FALSE(path_exists(root + "/store/content/planted"));
  EXPECT_FALSE(path_exists(root + "/new"));
  EXPECT_EQ(bob.downloadfile(widen(dir.path() + "/bobs-copy").c_str(), L"\\bobs", nullptr, nullptr),
            0);
  EXPECT_EQ(read_file(dir.path() + "/bobs-copy"), "payload");
  EXPECT_EQ(alice.downloadfile(widen(dir.path() + "/out/copy").c_str(), L"\\mine", nullptr, nullptr),
            0);
  // A folder outside the local root: refused when narrowed, else written.
  TempDir elsewhere;
  EXPECT_EQ(alice.downloadfile(widen(elsewhere.path() + "/out/copy").c_str(), L"\\mine", nullptr,
                               nullptr),
            GetParam() ? -3 : 0);
  EXPECT_EQ(path_exists(elsewhere.path() + "/out/copy"), !GetParam());
}

// The storage root is told by what it is, not by how it is spelt: under
// another name (a bind mount here; another spelling on a case-insensitive
// file system is the same) it is refused as a local path, and as a local
// root. The bind mount needs root, in a mount namespace of the test's own.
TEST(ServicePathsRoots, StorageRootUnderAnotherNameIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "a bind mount needs root";
  ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
  ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  TempDir dir;
  const std::string root = dir.path() + "/root";
  const std::string alias = dir.make_dir("alias");
  ASSERT_EQ(add_service_user(root, "alice", "s3cret"), 0);
  ASSERT_EQ(::mount(root.c_str(), alias.c_str(), nullptr, MS_BIND, nullptr), 0);
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{alias};
  ASSERT_TRUE(write_file(dir.path() + "/data.txt", "payload"));

  ServiceProcess service(root, {dir.path()}, dir.path() + "/service.log");
  ASSERT_TRUE(service.start()) << service.log();
  CServiceConnection alice;
  alice.port = service.port();
  ASSERT_EQ(alice.login(L"alice", L"s3cret", L"", L"1"), 0);
  ASSERT_EQ(alice.addfile(widen(dir.path() + "/data.txt").c_str(), L"\\mine", nullptr, nullptr),
            0);
  for (const char* source : {"/catalog.sqlite3", "/service.lock"}) {
    EXPECT_EQ(alice.addfile(widen(alias + source).c_str(), L"\\stolen", nullptr, nullptr), -3);
    EXPECT_EQ(alice.err_code, kLocalRefused) << source;
  }
  for (const char* target : {"/catalog.sqlite3", "/planted", "/new/file"}) {
    EXPECT_EQ(alice.downloadfile(widen(alias + target).c_str(), L"\\mine", nullptr, nullptr), -3);
    EXPECT_EQ(alice.err_code, kLocalRefused) << target;
  }
  EXPECT_FALSE(path_exists(root + "/planted"));
  EXPECT_FALSE(path_exists(root + "/new"));
  EXPECT_NE(read_file(root + "/catalog.sqlite3"), "payload");

  ServiceProcess aliased(root, {alias}, dir.path() + "/aliased.log");
  service.stop(SIGTERM);
  EXPECT_FALSE(aliased.start());
  EXPECT_NE(aliased.log().find("local root inside the storage root"), std::string::npos)
      << aliased.log();
}

// A connection remembers the folders it found outside the storage root, so
// that the files of a folder are judged by one climb to "/". A folder that
// changes between two files is judged again: one moved into the storage
// root (named through a bind mount of it), or a path that now leads into it
// (a bind mount or a link in the folder's place).
TEST(ServicePathsRoots, AFolderThatChangesBetweenTwoFilesIsJudgedAgain) {
  if (::geteuid() != 0) GTEST_SKIP() << "a bind mount needs root";
  ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
  ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  TempDir dir;
  const std::string root = dir.path() + "/root";
  const std::string alias = dir.make_dir("alias");
  ASSERT_EQ(add_service_user(root, "alice", "s3cret"), 0);
  struct Unmount {
    std::vector<std::string> paths;
    ~Unmount() {
      for (auto it = paths.rbegin(); it != paths.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
    }
  } mounts;
  ASSERT_EQ(::mount(root.c_str(), alias.c_str(), nullptr, MS_BIND, nullptr), 0);
  mounts.paths.push_back(alias);

  ServiceProcess service(root, {dir.path()}, dir.path() + "/service.log");
  ASSERT_TRUE(service.start()) << service.log();
  CServiceConnection alice;
  alice.port = service.port();
  ASSERT_EQ(alice.login(L"alice", L"s3cret", L"", L"1"), 0);

  // Each change is made to the folder `sub` once its files were judged,
  // and returns the folder in the storage root that `sub` became or leads to.
  const struct {
    const char* what;
    std::function<std::string(const std::string& sub)> change;
  } changes[] = {
      {"moved into the storage root",
       [&](const std::string& sub) {
         EXPECT_EQ(::rename(sub.c_str(), (root + "/moved").c_str()), 0);
         return alias + "/moved";
       }},
      {"replaced by a bind mount of the storage root",
       [&](const std::string& sub) {
         EXPECT_EQ(::mount(root.c_str(), sub.c_str(), nullptr, MS_BIND, nullptr), 0);
         mounts.paths.push_back(sub);
         return sub;
       }},
      {"replaced by a link to the storage root",
       [&](const std::string& sub) {
         EXPECT_EQ(::rename(sub.c_str(), (sub + "-old").c_str()), 0);
         EXPECT_EQ(::symlink(root.c_str(), sub.c_str()), 0);
         return sub;
       }},
  };
  int n = 0;
  for (const auto& change : changes) {
    SCOPED_TRACE(change.what);
    const std::string sub = dir.make_dir("sub" + std::to_string(n));
    const std::wstring stored = widen("\\f" + std::to_string(n++));
    ASSERT_TRUE(write_file(sub + "/catalog.sqlite3", "payload"));
    ASSERT_EQ(alice.addfile(widen(sub + "/catalog.sqlite3").c_str(), stored.c_str(), nullptr,
                            nullptr),
              0);
    ASSERT_EQ(alice.downloadfile(widen(sub + "/copy").c_str(), stored.c_str(), nullptr, nullptr),
              0);

    const std::string inside = change.change(sub);
    EXPECT_EQ(alice.addfile(widen(inside + "/catalog.sqlite3").c_str(), L"\\stolen", nullptr,
                            nullptr),
              -3);
    EXPECT_EQ(alice.err_code, kLocalRefused);
    EXPECT_EQ(alice.downloadfile(widen(inside + "/planted").c_str(), stored.c_str(), nullptr,
                                 nullptr),
              -3);
    EXPECT_EQ(alice.err_code, kLocalRefused);
    EXPECT_FALSE(path_exists(root + "/planted"));
    EXPECT_FALSE(path_exists(root + "/moved/planted"));
  }
}

}  // namespace
