// The real client library against the real service on port 11001: backup
// and restore, login failures, refused overwrites.
#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <string>
#include <vector>

#include "client/Brevanto.h"
#include "tests/service_test_env.h"

namespace {

constexpr int kNotLoggedIn = 1;
constexpr int kWrongLogin = 9;
constexpr int kNotFound = 3;
constexpr int kAlreadyExists = 4;

struct Progress {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;  // (completed, total)
};

int record_progress(std::uint64_t completed, std::uint64_t total, void* context) {
  static_cast<Progress*>(context)->reports.emplace_back(completed, total);
  return 0;
}

// The listing as "d \a\b" / "f \a\b.txt" lines, in the order received.
std::vector<std::string> list(CBrevanto& client, const wchar_t* dir, bool recursive, int* result) {
  std::list<_path_buffer*> entries;
  *result = client.getfilelist(dir, recursive, entries);
  std::vector<std::string> out;
  for (const _path_buffer* e : entries) {
    out.push_back(std::string(e->is_dir ? "d " : "f ") +
                  std::string(e->full_path.begin(), e->full_path.end()));
  }
  client.releasefilelist(entries);
  return out;
}

TEST(ServiceClient, BackupAndRestoreRoundTrip) {
  ServiceEnv env(11001);
  ASSERT_TRUE(env.started) << env.service.log();
  const std::string small1 = "first file\n";
  const std::string small2 = pattern_bytes(70000, 2);
  const std::string big = pattern_bytes(5 * 1024 * 1024 + 123, 3);
  const std::string empty;
  ASSERT_TRUE(write_file(env.local + "/one.txt", small1));
  ASSERT_TRUE(write_file(env.local + "/two.bin", small2));
  ASSERT_TRUE(write_file(env.local + "/big.bin", big));
  ASSERT_TRUE(write_file(env.local + "/empty", empty));

  CBrevanto client(INTERFACE_LOCAL_SERVICE);
  ASSERT_EQ(client.login(L"alice", L"s3cret", L"", L"1"), 0);
  EXPECT_EQ(client.adddir(L"\\docs"), 0);
  EXPECT_EQ(client.adddir(L"\\docs\\deep\\er\\"), 0);  // makes parents
  EXPECT_EQ(client.adddir(L"\\docs"), 0);              // exists: fine

  const std::wstring local = widen(env.local);
  EXPECT_EQ(client.addfile((local + L"/one.txt").c_str(), L"\\docs\\one.txt", nullptr, nullptr), 0);
  EXPECT_EQ(client.addfile((local + L"/two.bin").c_str(), L"\\docs\\deep\\two.bin", nullptr,
                           nullptr),
            0);
  EXPECT_EQ(client.addfile((local + L"/empty").c_str(), L"\\empty", nullptr, nullptr), 0);
  Progress progress;
  EXPECT_EQ(client.addfile((local + L"/big.bin").c_str(), L"\\docs\\big.bin", record_progress,
                           &progress),
            0);
  ASSERT_GE(progress.reports.size(), 2u);
  for (std::size_t i = 0; i < progress.reports.size(); ++i) {
    EXPECT_EQ(progress.reports[i].second, big.size());
    if (i > 0) {
      EXPECT_GT(progress.reports[i].first, progress.reports[i - 1].first);
    }
  }
  EXPECT_EQ(progress.reports.back().first, big.size());

  // Names beyond ASCII travel as UTF-8.
  const std::wstring unicode = L"\\docs\\deep\\caf\u00e9 \u6587\u4ef6.txt";
  EXPECT_EQ(client.addfile((local + L"/one.txt").c_str(), unicode.c_str(), nullptr, nullptr), 0);
  std::list<_path_buffer*> entries;
  EXPECT_EQ(client.getfilelist(L"\\docs\\deep", false, entries), 0);
  ASSERT_EQ(entries.size(), 3u);  // er, two.bin and this one, which sorts first
  EXPECT_EQ(entries.front()->full_path, unicode);
  client.releasefilelist(entries);
  EXPECT_EQ(client.removefile(unicode.c_str()), 0);

  int result = -99;
  const std::vector<std::string> expected = {
      "d \\.history",     "d \\docs",         "f \\docs\\big.bin",      "d \\docs\\deep",
      "d \\docs\\deep\\er", "f \\docs\\deep\\two.bin", "f \\docs\\one.txt",
      "f \\empty",
  };
  EXPECT_EQ(list(client, L"\\", true, &result), expected);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(list(client, L"\\docs\\", false, &result),
            (std::vector<std::string>{"f \\docs\\big.bin", "d \\docs\\deep", "f \\docs\\one.txt"}));
  EXPECT_EQ(result, 0);

  WIN32_FILE_ATTRIBUTE_DATA data;
  int backup_type = -1, reversion = -1;
  ASSERT_EQ(client.getfileinfo(L"\\docs\\big.bin", data, backup_type, reversion), 0);
  EXPECT_EQ(data.nFileSizeLow, big.size());
  EXPECT_EQ(data.nFileSizeHigh, 0u);
  EXPECT_EQ(backup_type, 0);
  EXPECT_EQ(reversion, 1);
  // FILETIME of a time after 2020-01-01.
  const std::uint64_t created =
      (std::uint64_t{data.ftCreationTime.dwHighDateTime} << 32) | data.ftCreationTime.dwLowDateTime;
  EXPECT_GT(created, 132223104000000000ull);
  ASSERT_EQ(client.getfileinfo(L"\\docs\\deep", data, backup_type, reversion), 0);
  EXPECT_EQ(data.nFileSizeLow, 0u);
  EXPECT_TRUE(client.is_path_exists(L"\\docs\\one.txt"));
  EXPECT_FALSE(client.is_path_exists(L"\\docs\\none.txt"));

  // A newer version of big.bin.
  const std::string big2 = pattern_bytes(2 * 1024 * 1024, 4);
  ASSERT_TRUE(write_file(env.local + "/big.bin", big2));
  EXPECT_EQ(client.updatefile((local + L"/big.bin").c_str(), L"\\docs\\big.bin", nullptr, nullptr),
            0);
  ASSERT_EQ(client.getfileinfo(L"\\docs\\big.bin", data, backup_type, reversion), 0);
  EXPECT_EQ(reversion, 2);
  EXPECT_EQ(data.nFileSizeLow, big2.size());

  // Restore into a new folder, whose subfolders the service makes.
  const std::wstring restore = local + L"/restore";
  Progress down;
  EXPECT_EQ(client.downloadfile((restore + L"/docs/big.bin").c_str(), L"\\docs\\big.bin", false,
                                record_progress, &down),
            0);
  EXPECT_FALSE(down.reports.empty());
  EXPECT_EQ(client.downloadfile((restore + L"/docs/one.txt").c_str(), L"\\docs\\one.txt", false,
                                nullptr, nullptr),
            0);
  EXPECT_EQ(client.downloadfile((restore + L"/docs/deep/two.bin").c_str(),
                                L"\\docs\\deep\\two.bin", false, nullptr, nullptr),
            0);
  EXPECT_EQ(client.downloadfile((restore + L"/empty").c_str(), L"\\empty", false, nullptr,
                                nullptr),
            0);
  // An existing local file is replaced.
  EXPECT_EQ(client.downloadfile((restore + L"/empty").c_str(), L"\\docs\\one.txt", false, nullptr,
                                nullptr),
            0);
  const std::string r = env.local + "/restore";
  EXPECT_TRUE(read_file(r + "/docs/big.bin") == big2);
  EXPECT_EQ(read_file(r + "/docs/one.txt"), small1);
  EXPECT_TRUE(read_file(r + "/docs/deep/two.bin") == small2);
  EXPECT_EQ(read_file(r + "/empty"), small1);
  // Nothing but the restored files: no temp file left beside them.
  EXPECT_EQ(tree_listing(r), (std::vector<std::string>{"docs", "docs/big.bin", "docs/deep",
                                                       "docs/deep/two.bin", "docs/one.txt",
                                                       "empty"}));

  // Removal of a file and of a folder with content.
  EXPECT_EQ(client.removefile(L"\\docs\\one.txt"), 0);
  EXPECT_EQ(client.removedir(L"\\docs\\deep\\"), 0);
  EXPECT_EQ(list(client, L"", true, &result),
            (std::vector<std::string>{"d \\.history", "d \\docs", "f \\docs\\big.bin", "f \\empty"}));
  EXPECT_EQ(client.removefile(L"\\docs\\one.txt"), -3);
  EXPECT_EQ(client.error_code(), kNotFound);
  EXPECT_EQ(client.logout(), 0);
}

TEST(ServiceClient, WrongPasswordOrUserGetsNoClientId) {
  ServiceEnv env(11001);
  ASSERT_TRUE(env.started) << env.service.log();
  for (const wchar_t* user : {L"alice", L"mallory"}) {
    CBrevanto client(INTERFACE_LOCAL_SERVICE);
    // A refused login is a failure with the service's error, and no session.
    EXPECT_EQ(client.login(user, L"wrong", L"", L"1"), -3);
    EXPECT_EQ(client.error_code(), kWrongLogin);
    EXPECT_EQ(client.adddir(L"\\x"), -3);
    EXPECT_EQ(client.error_code(), kNotLoggedIn);
    EXPECT_STREQ(client.error_msg(), L"not logged in");
    WIN32_FILE_ATTRIBUTE_DATA data;
    int backup_type = 0, reversion = 0;
    EXPECT_EQ(client.getfileinfo(L"\\", data, backup_type, reversion), -3);
    std::list<_path_buffer*> entries;
    EXPECT_EQ(client.getfilelist(L"\\", true, entries), -3);
    EXPECT_EQ(client.error_code(), kNotLoggedIn);
  }
  EXPECT_FALSE(env.stored("\\x"));
  const std::string log = env.service.log();
  EXPECT_NE(log.find("login refused for user alice"), std::string::npos);
  EXPECT_EQ(log.find("wrong"), std::string::npos);  // no password in the log
}

TEST(ServiceClient, AddFileOnExistingEntryIsRefused) {
  ServiceEnv env(11001);
  ASSERT_TRUE(env.started) << env.service.log();
  ASSERT_TRUE(write_file(env.local + "/v1", "version one"));
  ASSERT_TRUE(write_file(env.local + "/v2", "version two"));
  const std::wstring local = widen(env.local);
  CBrevanto client(INTERFACE_LOCAL_SERVICE);
  ASSERT_EQ(client.login(L"alice", L"s3cret", L"", L"1"), 0);
  EXPECT_EQ(client.addfile((local + L"/v1").c_str(), L"\\f", nullptr, nullptr), 0);
  EXPECT_EQ(client.addfile((local + L"/v2").c_str(), L"\\f", nullptr, nullptr), -3);
  EXPECT_EQ(client.error_code(), kAlreadyExists);
  EXPECT_EQ(client.adddir(L"\\d"), 0);
  EXPECT_EQ(client.addfile((local + L"/v2").c_str(), L"\\d", nullptr, nullptr), -3);
  EXPECT_EQ(client.error_code(), kAlreadyExists);
  EXPECT_EQ(env.stored_content("\\f"), "version one");
  // UpdateFile needs an existing file.
  EXPECT_EQ(client.updatefile((local + L"/v2").c_str(), L"\\g", nullptr, nullptr), -3);
  EXPECT_EQ(client.error_code(), kNotFound);
  EXPECT_FALSE(env.stored("\\g"));
}

}  // namespace
