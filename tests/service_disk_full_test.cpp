// A full storage side: the large contents (ROOT/store/content) sit on a
// small tmpfs, and uploads larger than it fail with "disk full", keep what
// was stored,
// leave no temp file and no space held, and the service goes on serving.
// Needs root for the mount; skipped otherwise.
#include <signal.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/service_connection.h"
#include "tests/service_test_env.h"

namespace {

constexpr int kNotFound = 3;
constexpr int kDiskFull = 7;
constexpr std::size_t kTmpfsBytes = 8u << 20;
constexpr std::size_t kLargeBytes = 12u << 20;  // more than the tmpfs holds

bool has_temp_name(const std::vector<std::string>& paths) {
  for (const std::string& p : paths) {
    if (p.find(".brevanto-tmp-") != std::string::npos) return true;
  }
  return false;
}

class ServiceDiskFull : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(env.started) << env.service.log();
    // The service holds ROOT/store/content open from its start: stop it,
    // mount the tmpfs over the (still empty) folder, start it again.
    env.service.stop(SIGTERM);
    data = env.root + "/store/content";
    const std::string options = "size=" + std::to_string(kTmpfsBytes) + ",mode=0700";
    if (::mount("tmpfs", data.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs on " << data << ": " << std::strerror(errno);
    }
    mounted = true;
    ASSERT_TRUE(env.service.start()) << env.service.log();
    conn.port = env.service.port();
    ASSERT_EQ(conn.login(L"alice", L"s3cret", L"", L"1"), 0);
    ASSERT_TRUE(conn.logged_in);
    ASSERT_TRUE(write_file(env.local + "/small", "old content"));
    ASSERT_TRUE(write_file(env.local + "/large", pattern_bytes(kLargeBytes, 3)));
  }

  void TearDown() override {
    conn.logout();
    env.service.stop(SIGTERM);
    if (mounted) ::umount2(data.c_str(), MNT_DETACH);
  }

  std::wstring local(const std::string& name) const { return widen(env.local + "/" + name); }

  // Bytes free on the tmpfs.
  std::size_t free_bytes() const {
    struct statvfs st;
    if (::statvfs(data.c_str(), &st) != 0) return 0;
    return static_cast<std::size_t>(st.f_bavail) * st.f_frsize;
  }

  // No temp file in the trees or the local root, and nearly all the tmpfs
  // free again (a temp file removed but still open would hold its space).
  void expect_clean() {
    EXPECT_FALSE(has_temp_name(tree_listing(env.root)));
    EXPECT_FALSE(has_temp_name(tree_listing(env.local)));
    EXPECT_GT(free_bytes(), kTmpfsBytes - (1u << 20));
  }

  // The service still answers, and stores a small file now that it fits.
  void expect_still_serving() {
    EXPECT_EQ(conn.adddir(L"\\after"), 0);
    EXPECT_EQ(conn.addfile(local("small").c_str(), L"\\after\\small", nullptr, nullptr), 0);
    EXPECT_EQ(env.stored_content("\\after\\small"), "old content");
  }

  ServiceEnv env;
  std::string data;
  bool mounted = false;
  CServiceConnection conn;
};

TEST_F(ServiceDiskFull, UpdateTooLargeKeepsTheOldContent) {
  ASSERT_EQ(conn.addfile(local("small").c_str(), L"\\doc.txt", nullptr, nullptr), 0);

  EXPECT_EQ(conn.updatefile(local("large").c_str(), L"\\doc.txt", nullptr, nullptr), -3);
  EXPECT_EQ(conn.err_code, kDiskFull);
  EXPECT_EQ(conn.err_text, L"disk full");
  expect_clean();

  // The stored file is the old one, by content and by its information.
  EXPECT_EQ(env.stored_content("\\doc.txt"), "old content");
  EXPECT_EQ(conn.downloadfile(local("back").c_str(), L"\\doc.txt", nullptr, nullptr), 0);
  EXPECT_EQ(read_file(env.local + "/back"), "old content");
  WIN32_FILE_ATTRIBUTE_DATA info;
  int backup_type = -1, reversion = -1;
  ASSERT_EQ(conn.getfileinfo(L"\\doc.txt", info, backup_type, reversion), 0);
  EXPECT_EQ(info.nFileSizeLow, 11u);
  EXPECT_EQ(info.nFileSizeHigh, 0u);
  EXPECT_EQ(reversion, 1);
  expect_still_serving();
}

TEST_F(ServiceDiskFull, AddTooLargeLeavesNoFile) {
  EXPECT_EQ(conn.addfile(local("large").c_str(), L"\\new\\big.bin", nullptr, nullptr), -3);
  EXPECT_EQ(conn.err_code, kDiskFull);
  EXPECT_EQ(conn.err_text, L"disk full");
  expect_clean();

  EXPECT_FALSE(env.stored("\\new\\big.bin"));
  WIN32_FILE_ATTRIBUTE_DATA info;
  int backup_type = -1, reversion = -1;
  EXPECT_EQ(conn.getfileinfo(L"\\new\\big.bin", info, backup_type, reversion), -3);
  EXPECT_EQ(conn.err_code, kNotFound);
  expect_still_serving();
}

}  // namespace
