// Replies a conforming service may send that the reference service never
// does: the client reads each receive as one message, joins a message cut
// inside a tag when its rest comes soon, never falls a reply behind, and
// never waits long for bytes that are not coming.
#include <gtest/gtest.h>

#include <chrono>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "client/Brevanto.h"
#include "protocol/message_bounds.h"
#include "protocol/service_connection.h"
#include "tests/fake_service.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

const char kFramingLoginOk[] = "<ACK Result=\"success\" ClientID=\"F1\"/>";
const char kExists[] = "<ACK Result=\"failed\" errcode=\"17\" errtext=\"exists\"/>";

std::vector<std::pair<std::uint64_t, std::uint64_t>>* g_progress = nullptr;

int record_progress(std::uint64_t completed, std::uint64_t total, void*) {
  g_progress->emplace_back(completed, total);
  return 0;
}

class ReplyFraming : public ::testing::Test {
 protected:
  void SetUp() override {
    g_progress = &reports;
    service.then({kFramingLoginOk});
    ASSERT_EQ(conn.login(L"u", L"p", L"j", L"t"), 0);
  }
  void TearDown() override {
    for (_path_buffer* e : list) delete e;
  }
  std::vector<std::wstring> paths() const {
    std::vector<std::wstring> out;
    for (const _path_buffer* e : list) out.push_back(e->full_path);
    return out;
  }
  // The request after a reply is answered by its own reply: a refusal.
  void expect_next_request_reads_its_own_reply() {
    service.then({kExists});
    EXPECT_EQ(conn.adddir(L"\\n"), -3);
    EXPECT_EQ(conn.err_code, 17);
  }

  FakeService service;
  CServiceConnection conn;
  std::list<_path_buffer*> list;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
};

TEST_F(ReplyFraming, ListingEntriesAfterTheHeadAndAcrossMessages) {
  struct Case {
    std::vector<std::string> replies;
    std::vector<std::wstring> want;
  };
  const Case cases[] = {
      {{"<ACK Result=\"success\"/><file ParentDir=\"\\a\\\" Name=\"b.txt\"/>"
        "<dir ParentDir=\"\\a\\\" Name=\"c\"/>"},
       {L"\\a\\b.txt", L"\\a\\c"}},
      {{"<ACK Result=\"success\"><dir ParentDir=\"\\a\\\" Name=\"c\"/></ACK>"
        "<dir ParentDir=\"\\a\\\" Name=\"d\"/>"},
       {L"\\a\\c", L"\\a\\d"}},
      {{"<RPT Result=\"success\"/><file ParentDir=\"\\\" Name=\"1\"/><file ParentDir=\"\\\" Name=\"2\"/>",
        "<ACK Result=\"success\"/><dir ParentDir=\"\\\" Name=\"3\"/>"},
       {L"\\1", L"\\2", L"\\3"}},
  };
  for (const Case& c : cases) {
    service.then(c.replies);
    EXPECT_EQ(conn.getfilelist(L"\\a\\", false, list), 0) << c.replies[0];
    EXPECT_EQ(paths(), c.want) << c.replies[0];
    for (_path_buffer* e : list) delete e;
    list.clear();
    expect_next_request_reads_its_own_reply();
  }
}

TEST_F(ReplyFraming, ListingMessagesWithOpenHeadsArrivingApart) {
  service.set_reply_gap_ms(20);
  service.then({"<RPT Result=\"success\"><file ParentDir=\"\\\" Name=\"1\"/>",
                "<RPT Result=\"success\"><file ParentDir=\"\\\" Name=\"2\"/>",
                "<ACK Result=\"success\"><file ParentDir=\"\\\" Name=\"3\"/>"});
  EXPECT_EQ(conn.getfilelist(L"\\", false, list), 0);
  EXPECT_EQ(paths(), (std::vector<std::wstring>{L"\\1", L"\\2", L"\\3"}));
  expect_next_request_reads_its_own_reply();
}

TEST_F(ReplyFraming, ATextWithoutATagCountsOneReceiveAtMost) {
  service.then({std::string(10061, 'x')});
  const int result = conn.getfilelist(L"\\", false, list);
  EXPECT_GT(result, 0);
  EXPECT_LE(result, 4096);
  expect_next_request_reads_its_own_reply();
}

TEST_F(ReplyFraming, UploadReportsWithEntriesOrOpenHeads) {
  service.then({"<RPT TotalBytes=\"10\" CompleteBytes=\"5\"/><file ParentDir=\"\\\" Name=\"x\"/>",
                "<ACK Result=\"success\"/>"});
  EXPECT_EQ(conn.addfile(L"l", L"s", record_progress, nullptr), 0);
  // An open report ends where its receive ended; the final reply follows.
  service.set_reply_gap_ms(100);
  service.then({"<RPT TotalBytes=\"10\" CompleteBytes=\"5\">\r\n", "<Reply Result=\"success\"/>\r\n"});
  EXPECT_EQ(conn.addfile(L"l", L"s", record_progress, nullptr), 0);
  EXPECT_EQ(reports, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{5, 10}, {5, 10}}));
  expect_next_request_reads_its_own_reply();
}

// Replies in forms a service may write, whole or cut inside a tag with the
// rest well within the reader's wait for it: each read as written, and the next request reads its
// own reply.
TEST_F(ReplyFraming, EveryFormWholeOrCutInsideATagAtAnyDelay) {
  enum Call { kList, kAddDir, kUpload };
  struct Case {
    Call call;
    std::vector<std::string> replies;
    int gap_ms;
    int result;
    std::vector<std::wstring> entries;  // kList
    std::size_t callbacks;              // kUpload
  };
  const std::string entries =
      "<file ParentDir=\"\\\" Name=\"a\" Result=\"success\"/><dir ParentDir=\"\\\" Name=\"b\" "
      "Result=\"success\"/>";
  const Case cases[] = {
      {kList, {"<ACK Result=\"success\">" + entries + "</ACK>"}, 0, 0, {L"\\a", L"\\b"}, 0},
      {kList,
       {"<RPT Result=\"success\"><Status Result=\"success\"/>" + entries + "</RPT>",
        "<ACK Result=\"success\"/>"},
       120, 0, {L"\\a", L"\\b"}, 0},
      {kList, {"<RPT Result=\"success\">" + entries.substr(0, 30), entries.substr(30) + "</RPT>",
               "<ACK Result=\"success\"/>"},
       20, 0, {L"\\a", L"\\b"}, 0},
      {kAddDir, {"<Reply><Status Result=\"success\"/></Reply>"}, 0, 0, {}, 0},
      {kAddDir, {"<Reply Res", "ult=\"success\"/>"}, 20, 0, {}, 0},
      // Cut inside a tag with the rest long after: read as the bytes came.
      {kAddDir, {"<Reply Res", "ult=\"success\"/>"}, 600, -3, {}, 0},
      {kUpload,
       {"<RPT TotalBytes=\"10\" CompleteBytes=\"5\"><x Result=\"failed\"/></RPT>",
        "<RPT TotalBytes=\"10\" CompleteBytes=\"10\"/>", "<ACK Result=\"success\"/>"},
       120, 0, {}, 2},
      {kUpload, {"<RPT TotalBytes=\"10\" Complete", "Bytes=\"10\"/>", "<ACK Result=\"succ",
                 "ess\"/>"},
       20, 0, {}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.replies[0]);
    service.set_reply_gap_ms(c.gap_ms);
    service.then(c.replies);
    reports.clear();
    switch (c.call) {
      case kList:
        EXPECT_EQ(conn.getfilelist(L"\\", false, list), c.result);
        EXPECT_EQ(paths(), c.entries);
        for (_path_buffer* e : list) delete e;
        list.clear();
        break;
      case kAddDir:
        EXPECT_EQ(conn.adddir(L"\\d"), c.result);
        break;
      case kUpload:
        EXPECT_EQ(conn.addfile(L"l", L"s", record_progress, nullptr), c.result);
        EXPECT_EQ(reports.size(), c.callbacks);
        break;
    }
    // A rest that came after the wait belongs to no reply: once it is in,
    // the next request drops it.
    if (c.gap_ms > message_bounds::kSplitWaitMilliseconds) {
      std::this_thread::sleep_for(std::chrono::milliseconds(c.gap_ms + 200));
    }
    service.set_reply_gap_ms(0);
    expect_next_request_reads_its_own_reply();
  }
}

TEST_F(ReplyFraming, AFailureReadsItsTextFromANestedElement) {
  service.then({"<ACK Result=\"failed\" errcode=\"5\"><e errtext=\"nested text\"/></ACK>"});
  EXPECT_EQ(conn.adddir(L"\\d"), -3);
  EXPECT_EQ(conn.err_code, 5);
  EXPECT_EQ(conn.err_text, L"nested text");
}

TEST(ReplyFramingLogin, AnOpenReplyIsReadAtOnceACutOneGetsItsRest) {
  struct Case {
    std::vector<std::string> replies;
    const char* client_id;
  };
  for (const Case& c :
       {Case{{"<ACK Result=\"success\" ClientID=\"C2\">\r\n"}, "C2"},
        Case{{"<ACK Result=\"success\" Clie", "ntID=\"K7\"/>"}, "K7"}}) {
    FakeService service;
    service.set_reply_gap_ms(20);
    service.then(c.replies);
    CServiceConnection conn;
    EXPECT_EQ(conn.login(L"u", L"p", L"j", L"t"), 0) << c.replies[0];
    EXPECT_TRUE(conn.logged_in) << c.replies[0];
    EXPECT_EQ(conn.client_id, c.client_id);
    service.then({kExists});
    EXPECT_EQ(conn.adddir(L"\\n"), -3);
    EXPECT_EQ(conn.err_code, 17);
  }
}

#ifndef _WIN32
TEST(ReplyFramingLogin, ASocketNumberedAbove1024WaitsLikeAnyOther) {
  rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < 1200 && limit.rlim_max >= 1200) {
    limit.rlim_cur = 1200;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  std::vector<int> held;
  for (int fd; held.size() < 1100 && (fd = open("/dev/null", O_RDONLY)) >= 0;) held.push_back(fd);
  if (held.size() < 1100) {
    for (int fd : held) close(fd);
    GTEST_SKIP() << "cannot open 1,100 descriptors here";
  }
  {
    FakeService service;
    service.then({"<ACK Result=\"success\" Clie", "ntID=\"C2\">"});  // cut: the reader waits
    service.set_reply_gap_ms(20);
    CServiceConnection conn;
    EXPECT_EQ(conn.login(L"u", L"p", L"j", L"t"), 0);
    EXPECT_GT(conn.sock, 1024);
    EXPECT_TRUE(conn.logged_in);
  }
  for (int fd : held) close(fd);
}
#endif

}  // namespace
