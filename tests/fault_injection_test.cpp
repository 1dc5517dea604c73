// Faults on the service side and on the log files: every operation ends with
// a clear result and the error state stays as it was.
#include <gtest/gtest.h>

#include <list>
#include <string>

#include "client/Brevanto.h"
#include "protocol/service_connection.h"
#include "tests/fake_service.h"
#include "tests/trace_reader.h"

#ifndef _WIN32
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#endif

namespace {

class ServiceFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    service.set_reply_gap_ms(0);
    service.then({"<ACK Result=\"success\" ClientID=\"F\"/>"});
    ASSERT_EQ(conn.login(L"u", L"p", L"j", L"t"), 0);
    conn.err_code = 77;  // must survive every fault below
  }
  void TearDown() override {
    EXPECT_EQ(conn.err_code, 77);
    // Whatever the service still sends, the client drops the connection
    // first, so its logout cannot wait for an answer.
    conn.go_offline();
  }

  int listing() {
    std::list<_path_buffer*> list;
    const int result = conn.getfilelist(L"\\", true, list);
    for (_path_buffer* e : list) delete e;
    return result;
  }
  int upload() { return conn.addfile(L"/l", L"\\s", nullptr, nullptr); }
  int info() {
    WIN32_FILE_ATTRIBUTE_DATA data;
    int bt = 0, rv = 0;
    return conn.getfileinfo(L"\\a", data, bt, rv);
  }

  FakeService service;
  CServiceConnection conn;
};

TEST_F(ServiceFaults, AReplyCutInsideATagThenClosedIsAFailure) {
  service.then({"<ACK Result=\"succ"}, /*close_after=*/true);
  EXPECT_EQ(info(), -1);
  EXPECT_TRUE(conn.reply.elements.empty());
}

TEST_F(ServiceFaults, ACutListingAndACutUploadAreFailures) {
  service.then({"<RPT Result=\"success\"><file ParentDir=\"\\\" Name=\"a\"/></RPT><RPT Resu"},
               /*close_after=*/true);
  EXPECT_EQ(listing(), -1);
}

TEST_F(ServiceFaults, AResetConnectionGivesTheWinsockCode) {
  service.then_reset({"<RPT TotalBytes=\"9\" CompleteBytes=\"1\"/>"});
  const int result = upload();
  // A reset is a failed receive (10054); some stacks report the close first.
  EXPECT_TRUE(result == WSAECONNRESET || result == -1) << result;
}

TEST_F(ServiceFaults, TenMegabytesWithoutATagNeverCountAsSuccess) {
  service.then({std::string(10 << 20, 'x')}, /*close_after=*/true);
  EXPECT_EQ(upload(), -1);  // texts without a tag are skipped until the close
}

TEST_F(ServiceFaults, TenMegabytesOfAnUnendingTagFailAtTheBound) {
  service.then({"<ACK Result=\"success\" " + std::string(10 << 20, 'a')});
  EXPECT_EQ(info(), -1);
}

TEST_F(ServiceFaults, TenMegabytesOfAnUnendingValueFailAtTheBound) {
  service.then({"<RPT Result=\"success\"><file Name=\"" + std::string(10 << 20, 'n')});
  EXPECT_EQ(listing(), -1);
}

#ifndef _WIN32

// A folder on which nothing can be written: a read-only tmpfs where mounts
// are allowed (as root), else a folder without write permission.
class UnwritableFolder {
 public:
  UnwritableFolder() {
    char tmpl[] = "/tmp/brevanto-ro-XXXXXX";
    path_ = ::mkdtemp(tmpl);
    mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", MS_RDONLY, "size=64k") == 0;
    if (!mounted_) ::chmod(path_.c_str(), 0555);
  }
  ~UnwritableFolder() {
    if (mounted_) ::umount(path_.c_str());
    ::rmdir(path_.c_str());
  }
  // Root ignores permissions: only a read-only mount is unwritable for it.
  bool usable() const { return mounted_ || ::geteuid() != 0; }
  std::wstring file(const std::wstring& name) const {
    return std::wstring(path_.begin(), path_.end()) + L"/" + name;
  }

 private:
  std::string path_;
  bool mounted_ = false;
};

// A tmpfs of 16 KiB that fills up after a few lines (root only).
class TinyDisk {
 public:
  TinyDisk() {
    char tmpl[] = "/tmp/brevanto-full-XXXXXX";
    path_ = ::mkdtemp(tmpl);
    mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=16k") == 0;
  }
  ~TinyDisk() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    ::rmdir(path_.c_str());
  }
  bool mounted() const { return mounted_; }
  std::wstring file(const std::wstring& name) const {
    return std::wstring(path_.begin(), path_.end()) + L"/" + name;
  }

 private:
  std::string path_;
  bool mounted_ = false;
};

// Points the connection's trace log at another file for the rest of its life.
void retarget_trace(CServiceConnection& conn, const std::wstring& path) {
  while (conn.trace_file.is_open()) conn.trace_file.release();
  conn.trace_file.path = path;
}

class LogFaults : public ::testing::Test {
 protected:
  // The library keeps working: a login, a request and a logout succeed.
  void expect_working(CServiceConnection& conn) {
    service.then({"<ACK Result=\"success\" ClientID=\"L\"/>"});
    EXPECT_EQ(conn.login(L"u", L"p", L"j", L"t"), 0);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(conn.adddir(L"\\d"), 0);
    EXPECT_EQ(conn.logout(), 0);
  }
  FakeService service;
};

TEST_F(LogFaults, AnUnwritableFolderDropsLines) {
  UnwritableFolder folder;
  if (!folder.usable()) GTEST_SKIP() << "cannot make an unwritable folder here";
  CServiceConnection conn;
  retarget_trace(conn, folder.file(L"Brevanto.log"));
  expect_working(conn);
  ClogEx log;
  EXPECT_FALSE(log.create(folder.file(L"facade.log").c_str()));
  log.write(L"dropped %d", 1);
}

TEST_F(LogFaults, AFullDiskDropsLines) {
  TinyDisk disk;
  if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
  CServiceConnection conn;
  retarget_trace(conn, disk.file(L"Brevanto.log"));
  expect_working(conn);  // far more lines than 16 KiB hold
  ClogEx log;
  ASSERT_TRUE(log.create(disk.file(L"facade.log").c_str()));
  for (int i = 0; i < 500; ++i) log.write(L"line %d of a full disk", i);
}

TEST_F(LogFaults, ALogRemovedWhileOpenDropsNothingElse) {
  char tmpl[] = "/tmp/brevanto-gone-XXXXXX";
  const std::string dir = ::mkdtemp(tmpl);
  const std::wstring wdir(dir.begin(), dir.end());
  CServiceConnection conn;
  retarget_trace(conn, wdir + L"/Brevanto.log");
  conn.trace_file.open();  // hold it open across the removal
  ClogEx log;
  ASSERT_TRUE(log.create((wdir + L"/facade.log").c_str()));
  ::unlink((dir + "/Brevanto.log").c_str());
  ::unlink((dir + "/facade.log").c_str());
  ::rmdir(dir.c_str());
  expect_working(conn);
  log.write(L"into a removed file");
  conn.trace_file.release();
}

#endif  // !_WIN32

}  // namespace
