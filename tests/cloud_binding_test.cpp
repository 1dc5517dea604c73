// The cloud back end against a scripted Quorvel: compiled with the client
// sources, or (CLOUD_TESTS_AGAINST_DLL) against Brevanto.dll and a scripted
// Quorvel.dll, where the library's internals are out of reach.
#include <gtest/gtest.h>

#include <cwchar>
#include <list>
#include <string>
#include <vector>

#include "client/Brevanto.h"
#ifndef CLOUD_TESTS_AGAINST_DLL
#include "client/cloud_branch.h"
#endif
#include "tests/fake_quorvel.h"
#include "platform/win32.h"
#include "tests/trace_reader.h"
#include "util/module_path.h"

namespace {

using Calls = std::vector<std::wstring>;

std::uint64_t ticks(const FILETIME& t) {
  return (std::uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

// The cloud back end writes into an existing log folder but creates none;
// the local service back end is what creates it.
struct LogFolder {
  LogFolder() { win32::SHCreateDirectory(nullptr, (executable_directory() + L"Logs").c_str()); }
};

class Cloud : public ::testing::Test {
 protected:
  void SetUp() override { reset_fake_quorvel(); }
  LogFolder log_folder;
  FakeQuorvel& fake = fake_quorvel();
  CBrevanto client{INTERFACE_CLOUD_LIBRARY};
};

TEST_F(Cloud, CallsReachTheLibraryWithTheirArgumentsInOrder) {
  EXPECT_EQ(client.login(L"ann", L"pw", L"project", L"type"), 0);
  client.removefile(L"\\f");
  client.removedir(L"\\d\\");
  client.addfile(L"/home/ann/a.txt", L"\\docs\\a.txt", nullptr, nullptr);
  client.downloadfile(L"/tmp/a.txt", L"\\docs\\a.txt", true, nullptr, nullptr);
  client.update_plan();
  client.get_creditcard_state();
  client.logout();
  EXPECT_EQ(fake.calls, (Calls{
      L"QV_Login(ann, pw)",
      L"QV_DeleteFile(\\f)",
      L"QV_RemoveDir(\\d\\)",
      L"QV_UplaodFile(\\docs\\a.txt, /home/ann/a.txt, 0)",
      L"QV_DownlaodFile(\\docs\\a.txt, /tmp/a.txt, true)",
      L"QV_UpgradeToNextPlan()",
      L"QV_CheckUserCCInfo()",
      L"QV_Logout()",
  }));
  // Library results pass through unchanged.
  fake.result = -1234;
  EXPECT_EQ(client.login(L"a", L"b", L"c", L"d"), -1234);
  EXPECT_EQ(client.update_plan(), -1234);
  EXPECT_EQ(client.adddir(L"\\x"), -1234);
}

TEST_F(Cloud, ListingConvertsRecordsAndReplacesTheListOnSuccessOnly) {
  fake.records = {make_record(u"\\docs\\", u"a.txt", 1), make_record(u"\\docs\\", u"sub", 0),
                  make_record(u"\\docs", u"run", 7),
                  make_record(u"\\", u"\u00e9t\u00e9 \U0001F600", 1)};
  _path_buffer held{0, L"held by the host"};
  std::list<_path_buffer*> list = {&held};
  EXPECT_EQ(client.getfilelist(L"\\docs\\", true, list), 0);
  EXPECT_EQ(fake.calls.back(), L"QV_GetFileList(\\docs\\, true)");
  ASSERT_EQ(list.size(), 4u);  // the held entry's pointer was dropped, not freed
  std::vector<std::pair<int, std::wstring>> got;
  for (const _path_buffer* e : list) got.emplace_back(e->is_dir, e->full_path);
  EXPECT_EQ(got, (std::vector<std::pair<int, std::wstring>>{
      {0, L"\\docs\\a.txt"}, {1, L"\\docs\\sub"}, {0, L"\\docsrun"},
      {0, L"\\\u00e9t\u00e9 \U0001F600"}}));
  client.releasefilelist(list);
  EXPECT_EQ(held.full_path, L"held by the host");

  // A failure leaves the list alone; an empty success empties it.
  list = {&held};
  fake.result = -3;
  EXPECT_EQ(client.getfilelist(L"\\", false, list), -3);
  EXPECT_EQ(list.size(), 1u);
  fake.result = 0;
  fake.records.clear();
  EXPECT_EQ(client.getfilelist(L"\\", false, list), 0);
  EXPECT_TRUE(list.empty());
}

TEST_F(Cloud, FileInfoFillsSizeAndTimesAndLogsEachStep) {
  fake.info = make_record(u"\\", u"f", 1, 0x100000002ull, u"2012/11/05 17:30:09", u"2012/11/05 17:30");
  WIN32_FILE_ATTRIBUTE_DATA data;
  data.dwFileAttributes = 0x20;
  data.ftLastAccessTime = {1, 2};
  int backup_type = 5, reversion = 6;
  TraceReader log;
  EXPECT_EQ(client.getfileinfo(L"\\f", data, backup_type, reversion), 0);
  EXPECT_EQ(data.nFileSizeHigh, 1u);
  EXPECT_EQ(data.nFileSizeLow, 2u);
  EXPECT_EQ(ticks(data.ftCreationTime), 129966102090000000ull);  // no time-zone shift
  EXPECT_EQ(ticks(data.ftLastWriteTime), 129966102000000000ull);
  EXPECT_EQ(data.dwFileAttributes, 0x20u);
  EXPECT_EQ(data.ftLastAccessTime.dwLowDateTime, 1u);
  EXPECT_EQ(backup_type, 5);
  EXPECT_EQ(reversion, 6);

  std::vector<std::string> messages;
  for (const std::string& line : log.lines(false)) {
    if (line.size() > 27 && line[0] == '[') messages.push_back(line.substr(27));
  }
  EXPECT_EQ(messages, (std::vector<std::string>{
      "Call QV_GetFileInfo(\\f)", "QV_GetFileInfo(\\f) returned(0)",
      "create_time (2012/11/05 17:30:09)", "create_time translate ok",
      "cModifyTime (2012/11/05 17:30)", "cModifyTime translate ok"}));
}

TEST_F(Cloud, EmptyTimeTextsAndFailuresLeaveWhatTheyShould) {
  fake.info = make_record(u"\\", u"f", 1, 7, u"", u"");
  WIN32_FILE_ATTRIBUTE_DATA data;
  int bt = 0, rv = 0;
  EXPECT_EQ(client.getfileinfo(L"\\f", data, bt, rv), 0);
  EXPECT_EQ(ticks(data.ftCreationTime), 0u);
  EXPECT_EQ(ticks(data.ftLastWriteTime), 0u);

  fake.info = make_record(u"\\", u"f", 1, 7, u"2012/11/05 17:30:09", u"");
  EXPECT_EQ(client.getfileinfo(L"\\f", data, bt, rv), 0);
  EXPECT_EQ(ticks(data.ftLastWriteTime), ticks(data.ftCreationTime));

  fake.result = -9;
  data.nFileSizeLow = 12345;
  EXPECT_EQ(client.getfileinfo(L"\\f", data, bt, rv), -9);
  EXPECT_EQ(data.nFileSizeLow, 12345u);
  EXPECT_FALSE(client.is_path_exists(L"\\f"));
  fake.result = 0;
  EXPECT_TRUE(client.is_path_exists(L"\\f"));
}

#ifndef CLOUD_TESTS_AGAINST_DLL
TEST(TimeText, FieldsSeparatorsAndRejectedDates) {
  struct Case {
    const wchar_t* text;
    std::uint64_t want;
  };
  const std::uint64_t untouched = 42;
  for (const Case& c : {
           Case{L"2012/11/05 17:30:09", 129966102090000000ull},
           Case{L"2012/11/05 17:30:09 99 98", 129966102090000000ull},  // extra fields ignored
           Case{L"0000000000000002012/11/05 17:30:09", untouched},     // first 15 chars: 0
           Case{L"000000000002012/11/05 17:30:09", 129966102090000000ull},
           Case{L"2012//11/05", untouched},   // a doubled separator shifts fields: month 0
           Case{L"2012/13/05 00:00:00", untouched},
#ifndef _WIN32  // Wine's SystemTimeToFileTime accepts it; Windows does not
           Case{L"2011/02/29 00:00:00", untouched},
#endif
           Case{L"", untouched},
       }) {
    FILETIME t = {static_cast<DWORD>(untouched), 0};
    time_text_to_filetime(c.text, t);
    EXPECT_EQ(ticks(t), c.want) << std::string(c.text, c.text + std::wcslen(c.text));
  }
}
#endif

TEST_F(Cloud, SpaceQueriesFollowTheBitsOfWhich) {
  std::int64_t used = -1, free_bytes = -1;
  fake.free_space = -5;
  fake.used_space = 300;
  EXPECT_EQ(client.get_spaceinfo(used, free_bytes, 3), -5);
  EXPECT_EQ(fake.calls, (Calls{L"QV_GetFreeSpace()"}));
  EXPECT_EQ(used, -1);
  EXPECT_EQ(free_bytes, -1);

  EXPECT_EQ(client.get_spaceinfo(used, free_bytes, 2), 0);
  EXPECT_EQ(used, 300);
  EXPECT_EQ(free_bytes, -1);

  fake.free_space = -(std::int64_t(1) << 32) - 7;  // the low 32 bits: -7
  EXPECT_EQ(client.get_spaceinfo(used, free_bytes, 1), -7);
  fake.calls.clear();
  EXPECT_EQ(client.get_spaceinfo(used, free_bytes, 4), 0);
  EXPECT_TRUE(fake.calls.empty());
}

TEST_F(Cloud, AddDirDropsOneTrailingBackslash) {
  const std::wstring long_path = L"\\" + std::wstring(600, L'x') + L"\\";
  for (const wchar_t* path : {L"\\backup\\daily\\", L"\\", L"\\plain", L"", L"\\a\\\\"}) {
    client.adddir(path);
  }
  client.adddir(long_path.c_str());
  EXPECT_EQ(fake.calls, (Calls{L"QV_CreateDir(\\backup\\daily)", L"QV_CreateDir(\\)",
                               L"QV_CreateDir(\\plain)", L"QV_CreateDir()",
                               L"QV_CreateDir(\\a\\)",
                               L"QV_CreateDir(" + long_path.substr(0, long_path.size() - 1) + L")"}));
}

struct Seen {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
  CBrevanto* cancel_at_second = nullptr;
};

int on_progress(std::uint64_t completed, std::uint64_t total, void* context) {
  Seen* seen = static_cast<Seen*>(context);
  seen->reports.emplace_back(completed, total);
  if (seen->cancel_at_second && seen->reports.size() == 2) seen->cancel_at_second->cancel_op();
  return 0;
}

TEST_F(Cloud, ProgressSwapsTheCountsAndCarriesCancelBack) {
  fake.reports = {{100, 10}, {100, 50}, {100, 100}};
  Seen seen;
  seen.cancel_at_second = &client;
  EXPECT_EQ(client.downloadfile(L"l", L"s", false, on_progress, &seen), -7);
  EXPECT_EQ(seen.reports, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{10, 100}, {50, 100}}));
  EXPECT_EQ(fake.progress_returns, (std::vector<long>{0, 1}));
  EXPECT_EQ(client.error_code(), 1);

  // A new transfer resets the flag; a null callback still gets the flag back.
  fake.progress_returns.clear();
  EXPECT_EQ(client.addfile(L"l", L"s", nullptr, nullptr), 0);
  EXPECT_EQ(fake.progress_returns, (std::vector<long>{0, 0, 0}));
  EXPECT_EQ(client.error_code(), 0);

  // cancel_op from another place while the library runs stops it too.
  fake.progress_returns.clear();
  fake.before_report = [this] {
    if (fake.progress_returns.size() == 1) client.cancel_op();
  };
  EXPECT_EQ(client.addfile(L"l", L"s", nullptr, nullptr), -7);
  EXPECT_EQ(fake.progress_returns, (std::vector<long>{0, 1}));
}

TEST(CloudOtherTypes, LoginLogoutAndRemovalReachTheLibraryTheRestIsFixed) {
  reset_fake_quorvel();
  FakeQuorvel& fake = fake_quorvel();
  for (int type : {2, 5}) {
    CBrevanto client(static_cast<OnlineInterfaceType>(type));
    client.login(L"u", L"p", L"j", L"t");
    client.logout();
    client.removefile(L"\\f");
    client.removedir(L"\\d");
    std::int64_t used = 1, free_bytes = 2;
    EXPECT_EQ(client.get_spaceinfo(used, free_bytes, 3), 0);
    EXPECT_EQ(client.update_plan(), 0);
    EXPECT_EQ(client.get_creditcard_state(), 0);
    EXPECT_EQ(client.adddir(L"\\d"), 0);
    EXPECT_EQ(client.addfile(L"l", L"s", nullptr, nullptr), 0);
    EXPECT_EQ(client.downloadfile(L"l", L"s", true, nullptr, nullptr), 0);
    EXPECT_FALSE(client.is_path_exists(L"\\f"));
  }
  EXPECT_EQ(fake.calls, (Calls{L"QV_Login(u, p)", L"QV_Logout()", L"QV_DeleteFile(\\f)",
                               L"QV_RemoveDir(\\d)", L"QV_Login(u, p)", L"QV_Logout()",
                               L"QV_DeleteFile(\\f)", L"QV_RemoveDir(\\d)"}));
}

}  // namespace
