// Transfers with progress against the scripted fake service.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "client/Brevanto.h"
#include "protocol/service_connection.h"
#include "tests/fake_service.h"
#include "tests/trace_reader.h"

namespace {

using Lines = std::vector<std::string>;
using Report = std::tuple<std::uint64_t, std::uint64_t, void*>;

std::vector<Report>* g_reports = nullptr;

int record(std::uint64_t completed, std::uint64_t total, void* context) {
  g_reports->emplace_back(completed, total, context);
  return 1;  // asks to stop; the local service back end ignores it
}

std::string report(const char* complete, const char* total) {
  return std::string("<RPT TotalBytes=\"") + total + "\" CompleteBytes=\"" + complete + "\"/>";
}

const char kDone[] = "<ACK Result=\"success\"/>";

class Transfer : public ::testing::Test {
 protected:
  void SetUp() override {
    g_reports = &reports;
    service.then({"<ACK Result=\"success\" ClientID=\"T1\"/>"});
    ASSERT_EQ(client.login(L"u", L"p", L"j", L"t"), 0);
  }
  std::string last_request() const { return service.requests().back(); }

  FakeService service;
  CBrevanto client{INTERFACE_LOCAL_SERVICE};
  std::vector<Report> reports;
  int context = 0;
};

TEST_F(Transfer, EveryReportReachesTheCallbackThenTheFinalStatus) {
  service.then({report("250", "1000"), report("500", "1000"), report("1000", "1000"), kDone});
  TraceReader trace;
  // The "recv()" line is in the file before the receive blocks.
  service.set_pacing([&trace](std::size_t i) { EXPECT_TRUE(trace.wait_for("recv().", i + 1)); });
  client.cancel_op();  // no effect on the local service back end
  EXPECT_EQ(client.addfile(L"C:\\data\\a.txt", L"\\backup\\a.txt", record, &context), 0);
  service.set_pacing(nullptr);
  EXPECT_EQ(last_request(),
            "<AddFile PathName=\"\\backup\\a.txt\" LocalPathName=\"C:\\data\\a.txt\" ClientID=\"T1\"/>");
  EXPECT_EQ(reports, (std::vector<Report>{
      {250, 1000, &context}, {500, 1000, &context}, {1000, 1000, &context}}));
  EXPECT_EQ(trace.lines(), (Lines{
      "enter addfile(C:\\data\\a.txt, \\backup\\a.txt, callback_func, PVOID).",
      "send() <AddFile PathName=\"\\backup\\a.txt\" LocalPathName=\"C:\\data\\a.txt\" ClientID=\"T1\"/>.",
      "recv().", "recv().", "recv().", "recv().",
      "exit addfile(C:\\data\\a.txt, \\backup\\a.txt, callback_func, PVOID), returned 0.",
  }));
}

TEST_F(Transfer, AFinalReplyJoinedToAReportEndsTheTransferWhenNothingFollows) {
  // One receive is one message: the reports joined count once, and the
  // final reply joined after them ends the transfer once nothing follows.
  service.then({report("1", "3") + report("2", "3") + "<ack Result=\"Success\"/>"});
  EXPECT_EQ(client.updatefile(L"l", L"s", record, &context), 0);
  EXPECT_EQ(last_request(), "<UpdateFile PathName=\"s\" LocalPathName=\"l\" ClientID=\"T1\"/>");
  EXPECT_EQ(reports.size(), 1u);
  // A message of its own that follows is the final reply instead.
  service.then({report("1", "3") + "<ACK Result=\"success\"/>", "<ACK Result=\"failed\" errcode=\"4\"/>"});
  EXPECT_EQ(client.updatefile(L"l", L"s", record, &context), -3);
}

TEST_F(Transfer, CountsAreReadLikeAtoi64AndPassedWithTheirBits) {
  service.then({"<RPT CompleteBytes=\"12abc\"/>", report("-1", "  +7"),
                report("99999999999999999999", "0"), kDone});
  EXPECT_EQ(client.downloadfile(L"l", L"s", true, record, nullptr), 0);
  EXPECT_EQ(last_request(), "<DownloadFile PathName=\"s\" LocalPathName=\"l\" ClientID=\"T1\"/>");
  EXPECT_EQ(reports, (std::vector<Report>{{12, 0, nullptr},
                                          {0xFFFFFFFFFFFFFFFFull, 7, nullptr},
                                          {0x7FFFFFFFFFFFFFFFull, 0, nullptr}}));
}

TEST_F(Transfer, ANullCallbackDropsReports) {
  service.then({report("1", "2"), report("2", "2"), kDone});
  EXPECT_EQ(client.addfile(L"l", L"s", nullptr, nullptr), 0);
}

TEST_F(Transfer, AnyMessageButAReportIsTheFinalReply) {
  for (const char* final_reply : {"<Reply Result=\"success\"/>", "<Reply Result=\"success\"><x/></Reply>", "<RPT\tResult=\"success\"/>",
                                  "<ACK Result=\"SUCCESS\"/>"}) {
    service.then({report("1", "2"), final_reply});
    EXPECT_EQ(client.addfile(L"l", L"s", record, nullptr), 0) << final_reply;
  }
}

TEST_F(Transfer, WhiteSpaceIsSkippedWithAnotherReceive) {
  service.then({report("1", "2"), " \n ", kDone});
  TraceReader trace;
  // The "recv()" line is in the file before the receive blocks.
  service.set_pacing([&trace](std::size_t i) { EXPECT_TRUE(trace.wait_for("recv().", i + 1)); });
  EXPECT_EQ(client.addfile(L"l", L"s", record, nullptr), 0);
  service.set_pacing(nullptr);
  EXPECT_EQ(trace.count("recv()."), 3u);
}

TEST_F(Transfer, FailureSetsTheErrorState) {
  service.then({report("1", "2"), "<ACK Result=\"failed\" errcode=\"28\" errtext=\"disk full\"/>"});
  EXPECT_EQ(client.addfile(L"l", L"s", record, nullptr), -3);
  EXPECT_EQ(client.error_code(), 28);
  EXPECT_STREQ(client.error_msg(), L"disk full");
}

TEST_F(Transfer, AClosedConnectionIsAFailureAndKeepsTheErrorState) {
  service.then({report("1", "3"), report("2", "3")}, /*close_after=*/true);
  EXPECT_EQ(client.addfile(L"l", L"s", record, nullptr), -1);
  EXPECT_EQ(reports.size(), 2u);
  EXPECT_EQ(client.error_code(), 0);
  EXPECT_STREQ(client.error_msg(), L"");
}

TEST_F(Transfer, MissingOrQuotedPathsSendNothing) {
  TraceReader trace;
  EXPECT_EQ(client.addfile(L"", L"s", record, nullptr), -1);
  EXPECT_EQ(client.updatefile(L"l", nullptr, record, nullptr), -1);
  EXPECT_EQ(client.downloadfile(L"l\"", L"s", false, record, nullptr), -1);
  EXPECT_EQ(service.requests().size(), 1u);  // the login only
  EXPECT_EQ(trace.lines(), (Lines{
      "enter addfile(, s, callback_func, PVOID).",
      "exit addfile(, s, callback_func, PVOID), returned -1.",
      "enter updatefile(l, (null), callback_func, PVOID).",
      "exit updatefile(l, (null), callback_func, PVOID), returned -1.",
      "enter downloadfile(l\", s, callback_func, PVOID).",
      "exit downloadfile(l\", s, callback_func, PVOID), returned -1.",
  }));
}

TEST(TransferOtherTypes, UpdateHasNoBackEndBeyondTheLocalService) {
  for (int type : {1, 5}) {
    CBrevanto client(static_cast<OnlineInterfaceType>(type));
    EXPECT_EQ(client.updatefile(L"l", L"s", nullptr, nullptr), -2);
  }
  CBrevanto other(static_cast<OnlineInterfaceType>(5));
  EXPECT_EQ(other.addfile(L"l", L"s", nullptr, nullptr), 0);
  EXPECT_EQ(other.downloadfile(L"l", L"s", false, nullptr, nullptr), 0);
}

}  // namespace
