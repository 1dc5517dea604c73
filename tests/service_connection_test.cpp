// The service connection against the scripted fake service on 11001.
#include "protocol/service_connection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "tests/fake_service.h"
#include "tests/trace_reader.h"
#include "util/module_path.h"
#include "util/text.h"

namespace {

using Lines = std::vector<std::string>;

const char kLoginOk[] = "<ACK Result=\"success\" ClientID=\"c-42\"/>";

TEST(ServiceConnectionLogin, SendsTheRequestAndKeepsTheClientId) {
  FakeService service;
  service.then({kLoginOk});
  CServiceConnection conn;
  TraceReader trace;
  EXPECT_EQ(conn.login(L"ann", L"s3cret", L"proj", L"backup"), 0);
  EXPECT_TRUE(conn.connected);
  EXPECT_TRUE(conn.logged_in);
  EXPECT_EQ(conn.client_id, "c-42");
  ASSERT_EQ(service.requests().size(), 1u);
  EXPECT_EQ(service.requests()[0],
            "<login User=\"ann\" Password=\"s3cret\" ProjectName=\"proj\" ClientType=\"backup\" "
            "ClientID=\"0\"/>");
  // The password never reaches the trace log.
  EXPECT_EQ(trace.lines(), (Lines{
      "enter login(ann, ***, proj, backup).",
      "enter go_online(127.0.0.1, 11001).",
      "exit go_online(127.0.0.1, 11001), returned 0.",
      "send() <login User=\"ann\" Password=\"***\" ProjectName=\"proj\" ClientType=\"backup\" "
      "ClientID=\"0\"/>.",
      "recv().",
      "exit login(ann, ***, proj, backup), returned 0.",
  }));

  // A second login returns at once: nothing sent, nothing traced.
  trace.mark();
  EXPECT_EQ(conn.login(L"ann", L"s3cret", L"proj", L"backup"), 0);
  EXPECT_EQ(service.requests().size(), 1u);
  EXPECT_TRUE(trace.lines().empty());

}

TEST(ServiceConnectionLogin, DestroyingALoggedInConnectionLogsOut) {
  FakeService service;
  service.then({kLoginOk});
  TraceReader trace;
  {
    CServiceConnection conn;
    ASSERT_EQ(conn.login(L"u", L"p", L"j", L"t"), 0);
    trace.mark();
  }
  EXPECT_EQ(service.requests().back(), "<logout ClientID=\"c-42\"/>");
  EXPECT_EQ(trace.lines(), (Lines{
      "enter logout().",
      "send() <logout ClientID=\"c-42\"/>.",
      "recv().",
      "enter go_offline().",
      "exit go_offline(), returned 0.",
      "exit logout(), returned 0.",
  }));
}

TEST(ServiceConnectionLogin, ARefusedLoginOrOneWithoutClientIdLeavesItConnectedButNotLoggedIn) {
  FakeService service;
  service.then({"<ACK Result=\"failed\" errcode=\"5\" errtext=\"wrong password\"/>"});
  service.then({"<ACK Note=\"no id\"/>"});
  service.then({kLoginOk});
  CServiceConnection conn;
  // A refusal is a failure with the service's error, never a success.
  EXPECT_EQ(conn.login(L"ann", L"bad", L"p", L"t"), -3);
  EXPECT_TRUE(conn.connected);
  EXPECT_FALSE(conn.logged_in);
  EXPECT_TRUE(conn.client_id.empty());
  EXPECT_EQ(conn.err_code, 5);
  EXPECT_EQ(conn.err_text, L"wrong password");
  // A reply without Result or ClientID is no refusal: 0, not logged in.
  EXPECT_EQ(conn.login(L"ann", L"bad", L"p", L"t"), 0);
  EXPECT_FALSE(conn.logged_in);
  // The next login sends again over the same connection.
  EXPECT_EQ(conn.login(L"ann", L"good", L"p", L"t"), 0);
  EXPECT_TRUE(conn.logged_in);
  EXPECT_EQ(service.requests().size(), 3u);
  EXPECT_EQ(service.connections(), 1);
}

TEST(ServiceConnectionLogin, DestroyingAfterLogoutOrWithoutConnectingSendsNothing) {
  FakeService service;
  service.then({kLoginOk});
  TraceReader trace;
  {
    CServiceConnection conn;
    ASSERT_EQ(conn.login(L"u", L"p", L"j", L"t"), 0);
    EXPECT_EQ(conn.logout(), 0);
    trace.mark();
  }
  { CServiceConnection never_connected; }
  EXPECT_EQ(service.requests().size(), 2u);  // login and one logout
  EXPECT_EQ(trace.lines(), Lines{});
}

TEST(ServiceConnectionLogin, NothingListeningReturnsTheConnectError) {
  CServiceConnection conn;
  TraceReader trace;
  EXPECT_EQ(conn.login(L"u", L"p", L"j", L"t"), WSAECONNREFUSED);
  EXPECT_FALSE(conn.connected);
  EXPECT_EQ(trace.lines(), (Lines{
      "enter login(u, ***, j, t).",
      "enter go_online(127.0.0.1, 11001).",
      "go_online() ip 127.0.0.1 port 11001.",
      "exit go_online(127.0.0.1, 11001), returned 10061.",
      "exit login(u, ***, j, t), returned 10061.",
  }));
#ifndef _WIN32
  // The socket of the failed connect is not connected, as Winsock says
  // (Wine says reset, so this is checked on the POSIX layer only).
  EXPECT_EQ(conn.exchange("<x/>"), WSAENOTCONN);
#endif
  // Trying again does not leak the socket of the failed attempt, and works.
  FakeService service;
  EXPECT_EQ(conn.login(L"u", L"p", L"j", L"t"), 0);
  EXPECT_TRUE(conn.connected);
}

TEST(ServiceConnectionLogin, ADoubleQuoteInAnyTextIsRefusedBeforeSending) {
  FakeService service;
  CServiceConnection conn;
  EXPECT_EQ(conn.login(L"a\" Admin=\"1", L"p", L"j", L"t"), -1);
  EXPECT_EQ(conn.login(L"a", L"p\"", L"j", L"t"), -1);
  EXPECT_EQ(conn.login(L"a", L"p", L"j\"", L"t"), -1);
  EXPECT_EQ(conn.login(L"a", L"p", L"j", L"\""), -1);
  EXPECT_FALSE(conn.connected);
  EXPECT_EQ(service.connections(), 0);
  // Other markup characters go out unchanged.
  EXPECT_EQ(conn.login(L"a&b<c>", L"p", L"j", L"t"), 0);
  EXPECT_EQ(service.requests()[0].substr(0, 26), "<login User=\"a&b<c>\" Passw");
}

TEST(ServiceConnectionLogout, WithoutAConnectionFailsTheSendAndStillGoesOffline) {
  CServiceConnection conn;
  TraceReader trace;
  EXPECT_EQ(conn.logout(), WSAENOTSOCK);
  EXPECT_FALSE(conn.connected);
  EXPECT_EQ(trace.lines(), (Lines{
      "enter logout().",
      "send() <logout ClientID=\"\"/>.",
      "enter go_offline().",
      "exit go_offline(), returned 0.",
      "exit logout(), returned 10038.",
  }));
}

TEST(ServiceConnectionLogout, SendsTheIdAndClosesTheConnection) {
  FakeService service;
  service.then({kLoginOk});
  service.then({"<ACK Result=\"success\"/>"});
  CServiceConnection conn;
  ASSERT_EQ(conn.login(L"u", L"p", L"j", L"t"), 0);
  EXPECT_EQ(conn.logout(), 0);
  EXPECT_FALSE(conn.connected);
  EXPECT_FALSE(conn.logged_in);
  EXPECT_EQ(conn.client_id, "c-42");  // kept
  EXPECT_EQ(service.requests().back(), "<logout ClientID=\"c-42\"/>");
  // Logging in again connects anew.
  service.then({kLoginOk});
  EXPECT_EQ(conn.login(L"u", L"p", L"j", L"t"), 0);
  EXPECT_EQ(service.connections(), 2);
}

class ServiceConnectionReply : public ::testing::Test {
 protected:
  // Logs in, then scripts `replies` for the next request.
  void answer_next_with(std::vector<std::string> replies, bool close_after = false) {
    service.then(std::move(replies), close_after);
  }
  void SetUp() override {
    service.then({kLoginOk});
    ASSERT_EQ(conn.login(L"u", L"p", L"j", L"t"), 0);
  }
  FakeService service;
  CServiceConnection conn;
};

TEST_F(ServiceConnectionReply, ResultSuccessInAnyCaseIsSuccess) {
  answer_next_with({"<ACK Result=\"SUCCESS\"/>"});
  ASSERT_EQ(conn.exchange("<x/>"), 0);
  EXPECT_EQ(conn.check_result(), 0);
  EXPECT_EQ(conn.err_code, 0);
}

TEST_F(ServiceConnectionReply, FailureSetsTheErrorStateWhichSuccessNeverResets) {
  answer_next_with({"<ACK Result=\"fail\"/>"});
  ASSERT_EQ(conn.exchange("<x/>"), 0);
  EXPECT_EQ(conn.check_result(), -3);
  EXPECT_EQ(conn.err_code, -1);
  EXPECT_EQ(conn.err_text, L"");

  answer_next_with({"<ACK Result=\"fail\" errcode=\"12abc\" errtext=\"disk \xC3\xBC" "ber I/O error\"/>"});
  ASSERT_EQ(conn.exchange("<x/>"), 0);
  EXPECT_EQ(conn.check_result(), -3);
  EXPECT_EQ(conn.err_code, 12);
  EXPECT_EQ(conn.err_text, L"disk \u00FCber I/O error");

  answer_next_with({"<ACK Result=\"success\"/>"});
  ASSERT_EQ(conn.exchange("<x/>"), 0);
  EXPECT_EQ(conn.check_result(), 0);
  EXPECT_EQ(conn.err_code, 12);

  answer_next_with({"<ACK Result=\"no\" errcode=\"99999999999\"/>"});
  ASSERT_EQ(conn.exchange("<x/>"), 0);
  EXPECT_EQ(conn.check_result(), -3);
  EXPECT_EQ(conn.err_code, 2147483647);  // saturates
}

TEST_F(ServiceConnectionReply, ClosedConnectionGivesMinusOneAndAnEmptyDocument) {
  answer_next_with({}, /*close_after=*/true);
  EXPECT_EQ(conn.exchange("<x/>"), -1);
  EXPECT_TRUE(conn.reply.elements.empty());
}

TEST_F(ServiceConnectionReply, TextWithoutATagGivesOne) {
  answer_next_with({"no tag here"});
  EXPECT_EQ(conn.exchange("<x/>"), 1);
  EXPECT_TRUE(conn.reply.elements.empty());
}

TEST_F(ServiceConnectionReply, SplitRepliesAreJoinedAndStaleOnesDropped) {
  // One reply in two sends.
  answer_next_with({"<ACK Result=\"success\" ", "Size=\"5\"/>"});
  ASSERT_EQ(conn.exchange("<x/>"), 0);
  ASSERT_NE(find_attribute(conn.reply, "Size"), nullptr);

  // Two replies in one send are one message: its first attributes count.
  answer_next_with({"<ACK Result=\"success\" n=\"1\"/><ACK Result=\"success\" n=\"2\"/>"});
  ASSERT_EQ(conn.exchange("<x/>"), 0);
  EXPECT_EQ(find_attribute(conn.reply, "n")->value, "1");

  // Two replies in two sends: the second answers no request, so it is
  // dropped before the next one is sent, never read as its reply.
  answer_next_with({"<ACK Result=\"success\" n=\"1\"/>", "<ACK Result=\"success\" n=\"2\"/>"});
  ASSERT_EQ(conn.exchange("<x/>"), 0);
  EXPECT_EQ(find_attribute(conn.reply, "n")->value, "1");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  TraceReader trace;
  answer_next_with({"<ACK Result=\"success\" n=\"3\"/>"});
  ASSERT_EQ(conn.exchange("<y/>"), 0);
  EXPECT_EQ(find_attribute(conn.reply, "n")->value, "3");
  conn.trace_file.flush();
  EXPECT_EQ(trace.count("recv() dropped 29 stale bytes."), 1u);
}

TEST_F(ServiceConnectionReply, AReplyThatNeverCompletesFailsAtTheBound) {
  std::vector<std::string> chunks = {"<ACK Result=\"success\" v=\""};
  for (int i = 0; i < 300; ++i) chunks.push_back(std::string(4096, 'x'));
  service.set_reply_gap_ms(0);
  answer_next_with(chunks, /*close_after=*/true);
  EXPECT_EQ(conn.exchange("<x/>"), -1);
  // The rest of it is never read as a later reply: the connection is gone,
  // and the next login starts a new one.
  EXPECT_FALSE(conn.connected);
  EXPECT_FALSE(conn.logged_in);
  service.then({kLoginOk});
  EXPECT_EQ(conn.login(L"u", L"p", L"j", L"t"), 0);
  EXPECT_EQ(service.connections(), 2);
}

TEST(ServiceConnectionTraceFile, CreatedWithAByteOrderMarkAndAppendedWithoutAnother) {
  std::remove(log_file_path().c_str());
  { CServiceConnection first; }
  const std::string after_first = read_file_bytes(log_file_path());
  ASSERT_GE(after_first.size(), 2u);
  EXPECT_EQ(after_first.substr(0, 2), "\xFF\xFE");
  {
    CServiceConnection second;
    second.trace_message(L"second");
  }
  const std::string after_second = read_file_bytes(log_file_path());
  EXPECT_GT(after_second.size(), after_first.size());
  EXPECT_EQ(after_second.compare(0, after_first.size(), after_first), 0);
  EXPECT_EQ(after_second.find("\xFF\xFE", 2), std::string::npos);
}

TEST(ServiceConnectionTraceFile, ASendThatBlocksFindsItsLinesInTheFile) {
  FakeService service;
  service.then({kLoginOk});
  CServiceConnection conn;
  ASSERT_EQ(conn.login(L"u", L"p", L"j", L"t"), 0);
  const std::wstring path((1 << 20) - 200, L'x');  // far more than the socket buffers hold
  service.stall_next_read_ms(1500);
  TraceReader trace;
  std::atomic<bool> done{false};
  std::thread client([&] {
    WIN32_FILE_ATTRIBUTE_DATA data;
    int backup_type = 0, reversion = 0;
    conn.getfileinfo(path.c_str(), data, backup_type, reversion);
    done = true;
  });
  const std::string sent = "send() <GetFileInfo PathName=\"" + std::string(path.size(), 'x') +
                           "\" ClientID=\"c-42\"/>.";
  EXPECT_TRUE(trace.wait_for(sent, 1));
  EXPECT_FALSE(done);  // found while the send was still blocked
  client.join();
}

TEST(ServiceConnectionTraceFile, HeldLinesAreWrittenOnceTheyPassTheBound) {
  CTraceFile file;
  ASSERT_EQ(file.open(utf8_to_wide(log_file_path()).c_str()), 0);
  TraceReader trace;
  // "mm/dd/yy hh:mm:ss: recv().\n" is 27 UTF-16 units: 54 bytes.
  const std::size_t lines_in_bound = CTraceFile::kHeldBytes / 54 + 1;
  for (std::size_t i = 0; i < lines_in_bound; ++i) file.write_event(L"recv()");
  EXPECT_EQ(trace.count("recv()."), lines_in_bound);  // written without a flush
  file.write_event(L"held");
  EXPECT_EQ(trace.count("held."), 0u);
  file.release();
  EXPECT_EQ(trace.lines().back(), "held.");
}

// Windows appends atomically for an append-only handle; Wine emulates it by
// seeking to the end, where two writers can still meet, so this runs on the
// POSIX layer only.
#ifndef _WIN32
TEST(ServiceConnectionTraceFile, ConnectionsSharingTheFileLoseNoLine) {
  // Each connection holds its own handle; append-only writes keep every line
  // whole wherever the other handle has moved the end to.
  const std::wstring path = utf8_to_wide(log_file_path());
  TraceReader trace;
  auto writer = [&path](const wchar_t* body) {
    CTraceFile file;
    file.path = path;
    for (int i = 0; i < 300; ++i) {
      file.open();
      file.write_event(body);
      file.release();
    }
  };
  std::thread first(writer, L"first");
  std::thread second(writer, L"second");
  first.join();
  second.join();
  EXPECT_EQ(trace.count("first."), 300u);
  EXPECT_EQ(trace.count("second."), 300u);
  EXPECT_EQ(trace.lines().size(), 600u);
  std::remove(log_file_path().c_str());
  { CServiceConnection created; }
  struct stat st;
  ASSERT_EQ(stat(log_file_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // it holds client identifiers
}
#endif

#ifndef _WIN32
TEST(ServiceConnectionTraceFile, TheLogFolderCanBeChosenAndALargeLogIsRotated) {
  const std::string dir = log_file_path() + ".d/a/b";
  setenv("BREVANTO_LOG_DIR", dir.c_str(), 1);
  const std::string log = dir + "/Brevanto.log";
  std::remove((log + ".1").c_str());
  { CServiceConnection created; }
  struct stat st;
  ASSERT_EQ(stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(truncate(log.c_str(), static_cast<off_t>(kLogRotateBytes + 1)), 0);
  { CServiceConnection rotated; }
  unsetenv("BREVANTO_LOG_DIR");
  ASSERT_EQ(stat((log + ".1").c_str(), &st), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), kLogRotateBytes + 1);
  EXPECT_EQ(read_file_bytes(log).substr(0, 2), "\xFF\xFE");  // a new file, with its mark
  std::remove((log + ".1").c_str());
}
#endif

}  // namespace
