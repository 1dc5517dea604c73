// Listing and metadata requests against the scripted fake service.
#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "client/Brevanto.h"
#include "protocol/service_connection.h"
#include "tests/fake_service.h"
#include "tests/trace_reader.h"

namespace {

using Lines = std::vector<std::string>;

struct Entry {
  int is_dir;
  std::wstring path;
  bool operator==(const Entry& o) const { return is_dir == o.is_dir && path == o.path; }
};

class Listing : public ::testing::Test {
 protected:
  void SetUp() override {
    service.then({"<ACK Result=\"success\" ClientID=\"K9\"/>"});
    ASSERT_EQ(conn.login(L"u", L"p", L"j", L"t"), 0);
  }
  void TearDown() override {
    for (_path_buffer* e : list) delete e;
  }
  std::vector<Entry> entries() const {
    std::vector<Entry> out;
    for (const _path_buffer* e : list) out.push_back({e->is_dir, e->full_path});
    return out;
  }
  std::string last_request() const { return service.requests().back(); }

  FakeService service;
  CServiceConnection conn;
  std::list<_path_buffer*> list;
};

TEST_F(Listing, OneMessageGivesItsEntriesAfterTheFirstElement) {
  service.then({"<ACK Result=\"success\">"
                "<file ParentDir=\"\\a\\\" Name=\"b.txt\"/>\n"
                "<DIR ParentDir=\"\\a\\\" Name=\"c\"/>"
                "<dir parentdir=\"\\a\" NAME=\"b\"/>"
                "<file ParentDir=\"\\x\\\"/><file Name=\"lonely\"/>"
                "<file ParentDir=\"\\a\\\" Name=\"first\" Name=\"last\"/>"
                "<file ParentDir=\"\\\" Name=\"\xC3\xA9t\xC3\xA9\"/>"
                "</ACK>"});
  EXPECT_EQ(conn.getfilelist(L"\\a\\", false, list), 0);
  EXPECT_EQ(last_request(), "<GetFileList StartDir=\"\\a\\\" SearchSubDirs=\"false\" ClientId=\"K9\"/>");
  EXPECT_EQ(entries(), (std::vector<Entry>{{0, L"\\a\\b.txt"},
                                           {1, L"\\a\\c"},
                                           {1, L"\\ab"},  // no separator added
                                           {0, L"\\a\\last"},
                                           {0, L"\\\u00E9t\u00E9"}}));
}

TEST_F(Listing, ACharacterSplitBetweenParentDirAndNameIsConvertedWhole) {
  service.then({"<ACK Result=\"success\">"
                "<file ParentDir=\"\\d\\\" Name=\"1\"/>"
                "<file ParentDir=\"\\\xC3\" Name=\"\xA9t\xC3\xA9\"/>"
                "<file ParentDir=\"\\d\\\" Name=\"2\"/>"
                "</ACK>"});
  EXPECT_EQ(conn.getfilelist(L"\\", true, list), 0);
  EXPECT_EQ(entries(), (std::vector<Entry>{
      {0, L"\\d\\1"}, {0, L"\\\u00E9t\u00E9"}, {0, L"\\d\\2"}}));
}

TEST_F(Listing, TheFirstElementNeverYieldsAnEntry) {
  service.then({"<ACK Result=\"success\" ParentDir=\"\\\" Name=\"x\"/>"});
  EXPECT_EQ(conn.getfilelist(nullptr, true, list), 0);
  EXPECT_EQ(last_request(), "<GetFileList StartDir=\"\" SearchSubDirs=\"true\" ClientId=\"K9\"/>");
  EXPECT_TRUE(list.empty());
}

TEST_F(Listing, ManyMessagesAppendInOrderAfterExistingEntries) {
  list.push_back(new _path_buffer{0, L"kept"});
  const std::string rpt1 = "<RPT Result=\"success\"><file ParentDir=\"\\\" Name=\"1\"/><file ParentDir=\"\\\" Name=\"2\"/></RPT>";
  const std::string rpt2 = "<RPT Result=\"success\"><file ParentDir=\"\\\" Name=\"3\"/><dir ParentDir=\"\\\" Name=\"4\"/></RPT>";
  const std::string ack = "<ACK Result=\"success\"><file ParentDir=\"\\\" Name=\"5\"/></ACK>";
  service.then({rpt1, rpt2, ack});
  TraceReader trace;
  // Each message goes out once the client waits for it: one receive each.
  // The "recv()" line is in the file before the receive blocks.
  service.set_pacing([&trace](std::size_t i) { EXPECT_TRUE(trace.wait_for("recv().", i + 1)); });
  EXPECT_EQ(conn.getfilelist(L"\\", true, list), 0);
  service.set_pacing(nullptr);
  EXPECT_EQ(entries(), (std::vector<Entry>{
      {0, L"kept"}, {0, L"\\1"}, {0, L"\\2"}, {0, L"\\3"}, {1, L"\\4"}, {0, L"\\5"}}));
  EXPECT_EQ(trace.lines(), (Lines{
      "enter getfilelist(\\, 1, callback_func, PVOID).",
      "send() <GetFileList StartDir=\"\\\" SearchSubDirs=\"true\" ClientId=\"K9\"/>.",
      "recv().", "recv().", "recv().",
      "exit getfilelist(\\, 1, callback_func, PVOID), returned 0.",
  }));
  // The document holds the last message only.
  EXPECT_EQ(conn.reply.elements.size(), 3u);

  // The same stream joined into one send gives the same entries.
  service.then({rpt1 + rpt2 + ack});
  std::list<_path_buffer*> joined;
  EXPECT_EQ(conn.getfilelist(L"\\", true, joined), 0);
  EXPECT_EQ(joined.size(), 5u);
  for (_path_buffer* e : joined) delete e;
}

TEST_F(Listing, AMessageHeldUpInsideATagIsReadWhole) {
  // A sender stalled by a full socket buffer can stop inside a tag; the
  // rest belongs to the same message, however late it comes.
  service.set_reply_gap_ms(10);
  service.then({"<RPT Result=\"success\"><file ParentDir=\"\\\" Name=\"1\"/><file Par",
                "entDir=\"\\\" Name=\"2\"/></RPT>", "<ACK Result=\"success\"/>"});
  EXPECT_EQ(conn.getfilelist(L"\\", false, list), 0);
  EXPECT_EQ(list.size(), 2u);
}

TEST_F(Listing, TextWithoutATagIsSkippedOnlyWhileMoreMessagesAreDue) {
  service.then({"<RPT Result=\"success\"><file ParentDir=\"\\\" Name=\"1\"/></RPT>", "   ",
                "<ACK Result=\"success\"/>"});
  EXPECT_EQ(conn.getfilelist(L"\\", false, list), 0);
  EXPECT_EQ(list.size(), 1u);
  // After a final message, a text without a tag ends the listing with its size.
  service.then({"junk!"});
  EXPECT_EQ(conn.getfilelist(L"\\", false, list), 5);
}

TEST_F(Listing, AClosedConnectionKeepsEntriesAndIsAFailure) {
  service.then({"<RPT Result=\"success\"><file ParentDir=\"\\\" Name=\"1\"/></RPT>",
                "<RPT Result=\"success\"><file ParentDir=\"\\\" Name=\"2\"/></RPT>"},
               /*close_after=*/true);
  EXPECT_EQ(conn.getfilelist(L"\\", false, list), -1);
  EXPECT_EQ(list.size(), 2u);
  EXPECT_EQ(conn.err_code, 0);
}

TEST_F(Listing, AFailedLaterMessageKeepsEarlierEntriesAndSetsTheError) {
  service.then({"<RPT Result=\"success\"><file ParentDir=\"\\\" Name=\"1\"/></RPT>",
                "<ACK Result=\"failed\" errcode=\"404\" errtext=\"not found\"/>"});
  EXPECT_EQ(conn.getfilelist(L"\\nope", false, list), -3);
  EXPECT_EQ(list.size(), 1u);
  EXPECT_EQ(conn.err_code, 404);
  EXPECT_EQ(conn.err_text, L"not found");
}

TEST_F(Listing, APathWithADoubleQuoteIsRefused) {
  const std::size_t before = service.requests().size();
  EXPECT_EQ(conn.getfilelist(L"\\a\" x=\"", false, list), -1);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  int bt = 0, rv = 0;
  EXPECT_EQ(conn.getfileinfo(L"\"", data, bt, rv), -1);
  EXPECT_EQ(conn.adddir(L"\""), -1);
  EXPECT_EQ(conn.removefile(L"\""), -1);
  EXPECT_EQ(service.requests().size(), before);
}

TEST(ListingConnect, ConnectsByItselfButNeverLogsIn) {
  FakeService service;
  service.then({"<ACK Result=\"success\"/>"});
  CServiceConnection conn;
  std::list<_path_buffer*> list;
  EXPECT_EQ(conn.getfilelist(L"\\", false, list), 0);
  EXPECT_EQ(service.requests().size(), 1u);
  EXPECT_FALSE(conn.logged_in);
}

using FileInfo = Listing;

TEST_F(FileInfo, FillsSizeTimesAndNumbersWithTheirBitsUnchanged) {
  service.then({"<ACK Result=\"success\" Size=\"5368709120\" CreateTime=\"-1\" "
                "LastModifyTime=\"130000000000000000\" BackupType=\"2\" Reversion=\"7\"/>"});
  WIN32_FILE_ATTRIBUTE_DATA data;
  data.dwFileAttributes = 0xAA;
  int backup_type = -9, reversion = -9;
  TraceReader trace;
  EXPECT_EQ(conn.getfileinfo(L"\\a\\f.bin", data, backup_type, reversion), 0);
  EXPECT_EQ(last_request(), "<GetFileInfo PathName=\"\\a\\f.bin\" ClientID=\"K9\"/>");
  EXPECT_EQ(data.nFileSizeHigh, 1u);
  EXPECT_EQ(data.nFileSizeLow, 1u << 30);
  EXPECT_EQ(data.ftCreationTime.dwHighDateTime, 0xFFFFFFFFu);
  EXPECT_EQ(data.ftCreationTime.dwLowDateTime, 0xFFFFFFFFu);
  EXPECT_EQ((std::uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) |
                data.ftLastWriteTime.dwLowDateTime,
            130000000000000000ull);
  EXPECT_EQ(data.dwFileAttributes, 0u);
  EXPECT_EQ(data.ftLastAccessTime.dwLowDateTime, 0u);
  EXPECT_EQ(backup_type, 2);
  EXPECT_EQ(reversion, 7);
  EXPECT_EQ(trace.lines().front(), "enter getfileinfo(\\a\\f.bin, ATTR_DATA, -9, -9).");
}

TEST_F(FileInfo, MissingResultIsSuccessWithNothingFilledIn) {
  service.then({"<ACK Size=\"12\" BackupType=\"3\"/>"});
  WIN32_FILE_ATTRIBUTE_DATA data;
  data.nFileSizeLow = 99;
  int backup_type = -9, reversion = -9;
  EXPECT_EQ(conn.getfileinfo(L"\\f", data, backup_type, reversion), 0);
  EXPECT_EQ(data.nFileSizeLow, 0u);
  EXPECT_EQ(backup_type, -9);
  EXPECT_EQ(reversion, -9);
}

TEST_F(FileInfo, FailureSetsTheErrorAndZeroesData) {
  service.then({"<ACK Result=\"failed\" errcode=\"3\" errtext=\"gone\"/>"});
  WIN32_FILE_ATTRIBUTE_DATA data;
  data.nFileSizeLow = 99;
  int backup_type = 1, reversion = 1;
  EXPECT_EQ(conn.getfileinfo(L"\\f", data, backup_type, reversion), -3);
  EXPECT_EQ(data.nFileSizeLow, 0u);
  EXPECT_EQ(conn.err_code, 3);
  EXPECT_EQ(conn.err_text, L"gone");
}

TEST_F(FileInfo, AnEmptyPathSendsNothingAndLeavesDataAlone) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  data.nFileSizeLow = 99;
  int backup_type = 1, reversion = 1;
  TraceReader trace;
  EXPECT_EQ(conn.getfileinfo(L"", data, backup_type, reversion), -1);
  EXPECT_EQ(conn.getfileinfo(nullptr, data, backup_type, reversion), -1);
  EXPECT_EQ(data.nFileSizeLow, 99u);
  EXPECT_EQ(service.requests().size(), 1u);  // the login only
  EXPECT_EQ(trace.lines().size(), 4u);       // enter and exit, twice
}

using DirectoryRequests = Listing;

TEST_F(DirectoryRequests, RequestsByteForByteWithOneTrailingBackslashRemoved) {
  EXPECT_EQ(conn.adddir(L"\\backup\\daily\\\\"), 0);
  EXPECT_EQ(last_request(), "<AddDir PathName=\"\\backup\\daily\\\" ClientID=\"K9\" />");
  EXPECT_EQ(conn.adddir(L"\\backup/"), 0);
  EXPECT_EQ(last_request(), "<AddDir PathName=\"\\backup/\" ClientID=\"K9\" />");
  EXPECT_EQ(conn.removedir(L"\\old\\"), 0);
  EXPECT_EQ(last_request(), "<RemoveFile PathName=\"\\old\" ClientID=\"K9\"/>");
  EXPECT_EQ(conn.removefile(L"\\old\\"), 0);
  EXPECT_EQ(last_request(), "<RemoveFile PathName=\"\\old\\\" ClientID=\"K9\"/>");
  EXPECT_EQ(conn.removefile(L"\\a&b<c>.txt"), 0);
  EXPECT_EQ(last_request(), "<RemoveFile PathName=\"\\a&b<c>.txt\" ClientID=\"K9\"/>");
}

TEST_F(DirectoryRequests, EmptyPathsAndFailures) {
  TraceReader trace;
  EXPECT_EQ(conn.adddir(L""), -1);
  EXPECT_EQ(conn.removedir(nullptr), -1);
  EXPECT_EQ(trace.lines(), (Lines{"enter adddir().", "exit adddir(), returned -1.",
                                  "enter removedir((null)).", "exit removedir((null)), returned -1."}));
  service.then({"<ACK Result=\"failed\" errcode=\"17\" errtext=\"exists\"/>"});
  EXPECT_EQ(conn.adddir(L"\\a"), -3);
  EXPECT_EQ(conn.err_code, 17);
  service.then({"<ACK/>"});
  EXPECT_EQ(conn.removefile(L"\\a"), -3);  // Result missing
  EXPECT_EQ(conn.err_code, -1);
}

TEST(FacadeListing, RoutesByInterfaceType) {
  FakeService service;
  service.then({"<ACK Result=\"success\" ClientID=\"Z\"/>"});
  service.then({"<ACK Result=\"success\" Size=\"1\"/>"});
  service.then({"<ACK Result=\"failed\"/>"});
  service.then({"<ACK Size=\"1\"/>"});
  CBrevanto client(INTERFACE_LOCAL_SERVICE);
  ASSERT_EQ(client.login(L"u", L"p", L"j", L"t"), 0);
  EXPECT_TRUE(client.is_path_exists(L"\\a"));
  EXPECT_FALSE(client.is_path_exists(L"\\b"));
  EXPECT_TRUE(client.is_path_exists(L"\\c"));  // no Result: success
  EXPECT_EQ(service.requests().size(), 4u);

  CBrevanto other(static_cast<OnlineInterfaceType>(5));
  std::list<_path_buffer*> list = {nullptr};
  EXPECT_EQ(other.getfilelist(L"\\", true, list), 0);
  EXPECT_EQ(list.size(), 1u);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  data.nFileSizeLow = 5;
  int bt = 3, rv = 4;
  EXPECT_EQ(other.getfileinfo(L"\\a", data, bt, rv), 0);
  EXPECT_EQ(data.nFileSizeLow, 5u);
  EXPECT_FALSE(other.is_path_exists(L"\\a"));
  EXPECT_EQ(other.adddir(L"\\a"), 0);
}

}  // namespace
