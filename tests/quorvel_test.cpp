// The Quorvel stand-in through its exported functions only. Every test gets
// a fresh root folder through QUORVEL_ROOT, which QV_Login reads.
#include "quorvel/Quorvel.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kMiB = 1 << 20;

void SetRootVariable(const fs::path& root) {
#ifdef _WIN32
  ASSERT_EQ(0, ::_wputenv_s(L"QUORVEL_ROOT", root.wstring().c_str()));
#else
  ASSERT_EQ(0, ::setenv("QUORVEL_ROOT", root.c_str(), 1));
#endif
}

std::string Pattern(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + seed) % 251);
  return bytes;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

template <std::size_t n>
std::u16string Text(const char16_t (&field)[n]) {
  return std::u16string(field, std::char_traits<char16_t>::length(field));
}

// "YYYY/MM/DD hh:mm:ss" with plausible fields.
bool IsTimeText(const std::u16string& text) {
  const std::u16string shape = u"0000/00/00 00:00:00";
  if (text.size() != shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == u'0' ? (text[i] < u'0' || text[i] > u'9') : text[i] != shape[i]) return false;
  }
  return text.compare(0, 4, u"2000") >= 0 && text.compare(5, 2, u"13") < 0;
}

struct Listed {
  std::u16string directory;
  std::u16string name;
  int kind;
  bool operator==(const Listed& o) const {
    return directory == o.directory && name == o.name && kind == o.kind;
  }
};

void PrintTo(const Listed& e, std::ostream* os) {
  *os << "{kind " << e.kind << ", " << e.directory.size() << "+" << e.name.size() << " units}";
}

// Progress reports of a transfer; cancels from the `cancel_at`th report on.
struct Progress {
  std::vector<std::pair<std::int64_t, std::int64_t>> reports;
  std::size_t cancel_at = SIZE_MAX;

  static long Report(std::int64_t total, std::int64_t completed, void* context) {
    auto* self = static_cast<Progress*>(context);
    self->reports.emplace_back(total, completed);
    return self->reports.size() >= self->cancel_at ? 1 : 0;
  }
};

class QuorvelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QV_Logout();
    std::random_device random;
    dir_ = fs::temp_directory_path() / ("quorvel_test_" + std::to_string(random()));
    fs::create_directories(dir_ / "local");
    SetRootVariable(dir_ / "cloud");
  }
  void TearDown() override {
    QV_Logout();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  void LogIn() { ASSERT_EQ(QV_OK, QV_Login(L"ann", L"secret")); }

  fs::path Local(const std::string& name) const { return dir_ / "local" / name; }
  fs::path Incoming() const { return dir_ / "cloud" / "incoming"; }

  std::wstring MakeLocal(const std::string& name, const std::string& bytes) const {
    std::ofstream(Local(name), std::ios::binary) << bytes;
    return Local(name).wstring();
  }

  int Upload(const wchar_t* storage, const std::string& bytes, Progress* progress = nullptr) {
    return QV_UplaodFile(storage, MakeLocal("upload.bin", bytes).c_str(), 0,
                         progress ? &Progress::Report : nullptr, progress);
  }

  std::vector<Listed> List(const wchar_t* directory, bool recursive) {
    std::vector<_cloud_file_record> records;
    EXPECT_EQ(QV_OK, QV_GetFileList(directory, recursive, &records));
    std::vector<Listed> listed;
    for (const auto& r : records) listed.push_back({Text(r.directory), Text(r.name), r.kind});
    return listed;
  }

  fs::path dir_;
};

// --- Session and account ---------------------------------------------------

TEST_F(QuorvelTest, EverythingNeedsALogin) {
  std::vector<_cloud_file_record> records;
  _cloud_file_record record;
  EXPECT_EQ(QV_E_NOT_LOGGED_IN, QV_GetFileList(L"\\", true, &records));
  EXPECT_EQ(QV_E_NOT_LOGGED_IN, QV_GetFileInfo(L"\\", &record));
  EXPECT_EQ(QV_E_NOT_LOGGED_IN, QV_GetFreeSpace());
  EXPECT_EQ(QV_E_NOT_LOGGED_IN, QV_GetUsedSpace());
  EXPECT_EQ(QV_E_NOT_LOGGED_IN, QV_DeleteFile(L"\\a"));
  EXPECT_EQ(QV_E_NOT_LOGGED_IN, QV_RemoveDir(L"\\a"));
  EXPECT_EQ(QV_E_NOT_LOGGED_IN, QV_CreateDir(L"\\a"));
  EXPECT_EQ(QV_E_NOT_LOGGED_IN, Upload(L"\\a", "x"));
  EXPECT_EQ(QV_E_NOT_LOGGED_IN,
            QV_DownlaodFile(L"\\a", Local("a").wstring().c_str(), true, nullptr, nullptr));
  EXPECT_EQ(QV_E_NOT_LOGGED_IN, QV_UpgradeToNextPlan());
  EXPECT_EQ(QV_E_NOT_LOGGED_IN, QV_CheckUserCCInfo());
  EXPECT_EQ(QV_E_NOT_LOGGED_IN, QV_Logout());
}

TEST_F(QuorvelTest, FirstLoginCreatesTheAccountAndLaterOnesMustMatch) {
  LogIn();
  EXPECT_EQ(QV_OK, QV_Logout());
  EXPECT_EQ(QV_E_NOT_LOGGED_IN, QV_CreateDir(L"\\a"));

  EXPECT_EQ(QV_E_BAD_LOGIN, QV_Login(L"ann", L"wrong"));
  EXPECT_EQ(QV_E_BAD_LOGIN, QV_Login(L"bob", L"secret"));
  EXPECT_EQ(QV_E_NOT_LOGGED_IN, QV_CreateDir(L"\\a"));
  LogIn();
  EXPECT_EQ(QV_E_BAD_LOGIN, QV_Login(L"ann", L"Secret"));  // ends the session
  EXPECT_EQ(QV_E_NOT_LOGGED_IN, QV_GetUsedSpace());

  // Only a hash is kept.
  const std::string account = ReadAll(dir_ / "cloud" / "account");
  EXPECT_NE(std::string::npos, account.find("hash "));
  EXPECT_EQ(std::string::npos, account.find("secret"));
}

TEST_F(QuorvelTest, CardIsValid) {
  LogIn();
  EXPECT_EQ(QV_CARD_VALID, QV_CheckUserCCInfo());
}

// --- Entries ---------------------------------------------------------------

TEST_F(QuorvelTest, ListsCreatesAndRemovesEntries) {
  LogIn();
  ASSERT_EQ(QV_OK, QV_CreateDir(L"\\docs\\sub"));  // creates \docs too
  EXPECT_EQ(QV_OK, QV_CreateDir(L"\\docs"));       // exists: fine
  ASSERT_EQ(QV_OK, Upload(L"\\docs\\a.txt", "alpha"));
  ASSERT_EQ(QV_OK, Upload(L"\\docs\\sub\\b.txt", "bravo!"));
  EXPECT_EQ(QV_E_EXISTS, QV_CreateDir(L"\\docs\\a.txt"));
  EXPECT_EQ(QV_E_EXISTS, QV_CreateDir(L"\\docs\\a.txt\\c"));

  EXPECT_EQ((std::vector<Listed>{{u"\\docs\\", u"a.txt", 1}, {u"\\docs\\", u"sub", 0}}),
            List(L"\\docs", false));
  EXPECT_EQ(List(L"\\docs", false), List(L"\\docs\\", false));
  EXPECT_EQ((std::vector<Listed>{{u"\\", u"docs", 0},
                                 {u"\\docs\\", u"a.txt", 1},
                                 {u"\\docs\\", u"sub", 0},
                                 {u"\\docs\\sub\\", u"b.txt", 1}}),
            List(L"\\", true));

  _cloud_file_record record;
  ASSERT_EQ(QV_OK, QV_GetFileInfo(L"\\docs\\sub\\b.txt", &record));
  EXPECT_EQ(u"\\docs\\sub\\", Text(record.directory));
  EXPECT_EQ(u"b.txt", Text(record.name));
  EXPECT_EQ(6u, record.size);
  EXPECT_NE(0, record.kind);
  EXPECT_TRUE(IsTimeText(Text(record.create_time)));
  EXPECT_TRUE(IsTimeText(Text(record.modify_time)));
  EXPECT_LE(Text(record.create_time), Text(record.modify_time));
  ASSERT_EQ(QV_OK, QV_GetFileInfo(L"\\docs\\sub", &record));
  EXPECT_EQ(0, record.kind);
  EXPECT_EQ(QV_E_NOT_FOUND, QV_GetFileInfo(L"\\docs\\zzz", &record));
  std::vector<_cloud_file_record> records;
  EXPECT_EQ(QV_E_NOT_FOUND, QV_GetFileList(L"\\nowhere", false, &records));
  EXPECT_EQ(QV_E_WRONG_KIND, QV_GetFileList(L"\\docs\\a.txt", false, &records));
  EXPECT_EQ(QV_E_INVALID_ARGUMENT, QV_GetFileList(L"\\docs", false, nullptr));

  EXPECT_EQ(QV_E_WRONG_KIND, QV_DeleteFile(L"\\docs\\sub"));
  EXPECT_EQ(QV_E_WRONG_KIND, QV_RemoveDir(L"\\docs\\a.txt"));
  EXPECT_EQ(QV_OK, QV_DeleteFile(L"\\docs\\a.txt"));
  EXPECT_EQ(QV_E_NOT_FOUND, QV_DeleteFile(L"\\docs\\a.txt"));
  EXPECT_EQ(QV_OK, QV_RemoveDir(L"\\docs"));
  EXPECT_EQ(QV_E_NOT_FOUND, QV_RemoveDir(L"\\docs"));
  EXPECT_TRUE(List(L"\\", true).empty());
  EXPECT_EQ(0, QV_GetUsedSpace());
}

TEST_F(QuorvelTest, NamesBeyondTheBasicPlaneRoundTrip) {
  LogIn();
  ASSERT_EQ(QV_OK, QV_CreateDir(L"\\\u00e9t\u00e9"));
  ASSERT_EQ(QV_OK, Upload(L"\\\u00e9t\u00e9\\\U0001F600.txt", "smile"));
  EXPECT_EQ((std::vector<Listed>{{u"\\\u00e9t\u00e9\\", u"\U0001F600.txt", 1}}),
            List(L"\\\u00e9t\u00e9", false));
  EXPECT_EQ(QV_OK, QV_DownlaodFile(L"\\\u00e9t\u00e9\\\U0001F600.txt",
                                   Local("smile").wstring().c_str(), false, nullptr, nullptr));
  EXPECT_EQ("smile", ReadAll(Local("smile")));
}

TEST_F(QuorvelTest, InvalidPathsAreRefused) {
  LogIn();
  ASSERT_EQ(QV_OK, QV_CreateDir(L"\\docs"));
  const std::wstring too_long = L"\\" + std::wstring(1024, L'n');
  for (const wchar_t* path : {L"", L"docs", L"\\..", L"\\docs\\..\\x", L"\\.\\docs", L"\\docs\\\\x",
                              L"\\docs/x", L"\\a\tb", too_long.c_str()}) {
    _cloud_file_record record;
    EXPECT_EQ(QV_E_INVALID_PATH, QV_GetFileInfo(path, &record));
    EXPECT_EQ(QV_E_INVALID_PATH, QV_CreateDir(path));
    EXPECT_EQ(QV_E_INVALID_PATH, Upload(path, "x"));
  }
  EXPECT_EQ(QV_E_INVALID_PATH, QV_CreateDir(nullptr));
  EXPECT_EQ(QV_E_INVALID_PATH, QV_RemoveDir(L"\\"));
  EXPECT_EQ((std::vector<Listed>{{u"\\", u"docs", 0}}), List(L"\\", true));
}

#ifndef _WIN32
TEST_F(QuorvelTest, LinksAreNeitherFollowedNorListed) {
  LogIn();
  fs::create_directories(dir_ / "outside");
  std::ofstream(dir_ / "outside" / "secret.txt") << "x";
  fs::create_directory_symlink(dir_ / "outside", dir_ / "cloud" / "files" / "out");
  _cloud_file_record record;
  EXPECT_EQ(QV_E_INVALID_PATH, QV_GetFileInfo(L"\\out\\secret.txt", &record));
  EXPECT_EQ(QV_E_INVALID_PATH, QV_DeleteFile(L"\\out\\secret.txt"));
  EXPECT_EQ(QV_E_INVALID_PATH, QV_RemoveDir(L"\\out"));
  EXPECT_TRUE(List(L"\\", true).empty());
  EXPECT_EQ(0, QV_GetUsedSpace());
  EXPECT_TRUE(fs::exists(dir_ / "outside" / "secret.txt"));
}
#endif

// --- Transfers -------------------------------------------------------------

TEST_F(QuorvelTest, UploadAndDownloadReportProgressAndKeepTheBytes) {
  LogIn();
  const std::string bytes = Pattern(3 * kMiB + 12345, 7);
  const auto size = static_cast<std::int64_t>(bytes.size());
  Progress up;
  ASSERT_EQ(QV_OK, Upload(L"\\big.bin", bytes, &up));
  ASSERT_EQ(5u, up.reports.size());
  std::int64_t last = -1;
  for (const auto& report : up.reports) {
    EXPECT_EQ(size, report.first);  // the total comes first
    EXPECT_GT(report.second, last);
    last = report.second;
  }
  EXPECT_EQ(0, up.reports.front().second);
  EXPECT_EQ(size, up.reports.back().second);
  EXPECT_EQ(size, QV_GetUsedSpace());

  Progress down;
  const std::wstring target = Local("copy.bin").wstring();
  ASSERT_EQ(QV_OK, QV_DownlaodFile(L"\\big.bin", target.c_str(), false, &Progress::Report, &down));
  EXPECT_EQ(up.reports, down.reports);
  EXPECT_EQ(bytes, ReadAll(Local("copy.bin")));

  EXPECT_EQ(QV_E_EXISTS, QV_DownlaodFile(L"\\big.bin", target.c_str(), false, nullptr, nullptr));
  ASSERT_EQ(QV_OK, Upload(L"\\big.bin", "replaced"));
  EXPECT_EQ(8, QV_GetUsedSpace());
  EXPECT_EQ(QV_OK, QV_DownlaodFile(L"\\big.bin", target.c_str(), true, nullptr, nullptr));
  EXPECT_EQ("replaced", ReadAll(Local("copy.bin")));
}

TEST_F(QuorvelTest, TransfersOfMissingOrWrongEntriesFail) {
  LogIn();
  ASSERT_EQ(QV_OK, QV_CreateDir(L"\\docs"));
  const std::wstring target = Local("x").wstring();
  EXPECT_EQ(QV_E_NOT_FOUND, QV_DownlaodFile(L"\\none", target.c_str(), true, nullptr, nullptr));
  EXPECT_EQ(QV_E_WRONG_KIND, QV_DownlaodFile(L"\\docs", target.c_str(), true, nullptr, nullptr));
  EXPECT_EQ(QV_E_NOT_FOUND,
            QV_UplaodFile(L"\\docs\\x", Local("none").wstring().c_str(), 0, nullptr, nullptr));
  EXPECT_EQ(QV_E_NOT_FOUND, Upload(L"\\nodir\\x", "x"));
  EXPECT_EQ(QV_E_WRONG_KIND, Upload(L"\\docs", "x"));
  EXPECT_EQ(QV_E_INVALID_ARGUMENT,
            QV_UplaodFile(L"\\x", MakeLocal("x", "x").c_str(), 1, nullptr, nullptr));
}

TEST_F(QuorvelTest, CancelledTransfersLeaveNoFile) {
  LogIn();
  const std::string bytes = Pattern(3 * kMiB, 3);
  Progress up;
  up.cancel_at = 2;  // after the first chunk
  EXPECT_EQ(QV_E_CANCELLED, Upload(L"\\big.bin", bytes, &up));
  EXPECT_EQ(2u, up.reports.size());
  _cloud_file_record record;
  EXPECT_EQ(QV_E_NOT_FOUND, QV_GetFileInfo(L"\\big.bin", &record));
  EXPECT_TRUE(fs::is_empty(Incoming()));
  EXPECT_EQ(0, QV_GetUsedSpace());

  // A cancelled replacement keeps the old file; a cancelled download leaves
  // the local folder as it was.
  ASSERT_EQ(QV_OK, Upload(L"\\big.bin", "old"));
  Progress again;
  again.cancel_at = 1;
  EXPECT_EQ(QV_E_CANCELLED, Upload(L"\\big.bin", bytes, &again));
  ASSERT_EQ(QV_OK, QV_GetFileInfo(L"\\big.bin", &record));
  EXPECT_EQ(3u, record.size);
  ASSERT_EQ(QV_OK, Upload(L"\\big.bin", bytes));
  Progress down;
  down.cancel_at = 3;
  const fs::path folder = dir_ / "down";
  fs::create_directory(folder);
  EXPECT_EQ(QV_E_CANCELLED, QV_DownlaodFile(L"\\big.bin", (folder / "big.bin").wstring().c_str(),
                                            false, &Progress::Report, &down));
  EXPECT_TRUE(fs::is_empty(folder));
}

// --- Quota and plans -------------------------------------------------------

TEST_F(QuorvelTest, UploadBeyondTheQuotaStoresNothing) {
  LogIn();
  const fs::path big = Local("sparse.bin");
  std::ofstream(big, std::ios::binary).close();
  fs::resize_file(big, 100 * kMiB + 1);  // sparse: only its size matters
  EXPECT_EQ(QV_E_QUOTA, QV_UplaodFile(L"\\big.bin", big.wstring().c_str(), 0, nullptr, nullptr));
  _cloud_file_record record;
  EXPECT_EQ(QV_E_NOT_FOUND, QV_GetFileInfo(L"\\big.bin", &record));
  EXPECT_TRUE(fs::is_empty(Incoming()));
  EXPECT_EQ(0, QV_GetUsedSpace());
}

TEST_F(QuorvelTest, UpgradesRaiseTheQuotaUpToTheTopPlan) {
  LogIn();
  ASSERT_EQ(QV_OK, Upload(L"\\a", "12345"));
  EXPECT_EQ(100 * kMiB - 5, QV_GetFreeSpace());
  EXPECT_EQ(QV_OK, QV_UpgradeToNextPlan());
  EXPECT_EQ(400 * kMiB - 5, QV_GetFreeSpace());
  EXPECT_EQ(QV_OK, QV_UpgradeToNextPlan());
  EXPECT_EQ(QV_OK, QV_UpgradeToNextPlan());
  EXPECT_EQ(QV_E_TOP_PLAN, QV_UpgradeToNextPlan());
  ASSERT_EQ(QV_OK, QV_Logout());
  LogIn();  // the plan is kept in the account
  EXPECT_EQ(6400 * kMiB - 5, QV_GetFreeSpace());
}

}  // namespace
