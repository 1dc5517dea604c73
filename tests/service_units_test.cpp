// The service's parts on their own: storage path rules, reply texts,
// request parsing, FILETIME counts, atomic files, project folders, the
// order in which reply messages go out.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <string>
#include <vector>

#include "service/accounts/accounts.h"
#include "service/store/atomic_file.h"
#include "service/store/batch_runner.h"
#include "service/store/catalog.h"
#include "service/net/connection_table.h"
#include "service/errors.h"
#include "service/store/filetime.h"
#include "service/options.h"
#include "service/net/progress_reporter.h"
#include "service/net/reply_sender.h"
#include "service/net/socket_io.h"
#include "util/sha256.h"
#include "service/net/replies.h"
#include "service/net/request.h"
#include "service/store/storage_paths.h"
#include "service/store/older_layout/storage_tree.h"
#include "tests/service_test_files.h"

namespace {

std::string canonical(const std::string& text) { return parse_storage_path(text).text(); }

ErrorCode parse_error(const std::string& text) {
  try {
    parse_storage_path(text);
  } catch (const ServiceError& e) {
    return e.code();
  }
  return static_cast<ErrorCode>(0);
}

TEST(ServiceStoragePaths, SpellingsOfOnePath) {
  EXPECT_EQ(canonical(""), "\\");
  EXPECT_EQ(canonical("\\"), "\\");
  EXPECT_EQ(canonical("\\\\"), "\\");
  EXPECT_EQ(canonical("a"), "\\a");
  EXPECT_EQ(canonical("\\a\\b"), "\\a\\b");
  EXPECT_EQ(canonical("a\\\\b\\"), "\\a\\b");
  EXPECT_EQ(parse_storage_path("\\a\\b\\").dir_text(), "\\a\\b\\");
  EXPECT_EQ(parse_storage_path("").dir_text(), "\\");
  EXPECT_EQ(canonical("\\caf\xc3\xa9\\x y&<z>"), "\\caf\xc3\xa9\\x y&<z>");
  EXPECT_EQ(parse_storage_path("\\a\\b.txt").name(), "b.txt");
  EXPECT_TRUE(parse_storage_path("\\").is_root());
}

TEST(ServiceStoragePaths, RefusedComponents) {
  for (const std::string& bad :
       {std::string("\\.."), std::string("\\a\\..\\b"), std::string("."), std::string("\\a/b"),
        std::string("/etc"), std::string("\\a\"b"), std::string("\\a\tb"), std::string("\\a\x7f"),
        std::string("\\.brevanto-tmp-1234"), std::string("\\bad\xff"),
        std::string("\\over\xc0\xaflong"), std::string("\\") + std::string(256, 'n'),
        std::string(4097, 'p')}) {
    EXPECT_EQ(parse_error(bad), kInvalidPath) << bad;
  }
  EXPECT_EQ(parse_error("\\" + std::string(255, 'n')), 0);
  EXPECT_EQ(parse_error("\\...\\.x\\x."), 0);
}

TEST(ServiceStoragePaths, Utf8Validation) {
  EXPECT_TRUE(valid_utf8("plain"));
  EXPECT_TRUE(valid_utf8("\xe6\x96\x87\xf0\x9f\x98\x80"));
  EXPECT_FALSE(valid_utf8("\xed\xa0\x80"));      // a surrogate
  EXPECT_FALSE(valid_utf8("\xe0\x80\xaf"));      // overlong
  EXPECT_FALSE(valid_utf8("\xf4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(valid_utf8("\xe6\x96"));          // cut short
}

TEST(ServiceReplies, TextsAsTheClientParserReadsThem) {
  EXPECT_EQ(success_reply(), "<ACK Result=\"success\"/>");
  EXPECT_EQ(error_reply(kNotFound),
            "<ACK Result=\"failed\" errcode=\"3\" errtext=\"not found\"/>");
  EXPECT_EQ(login_reply("00ff"), "<ACK Result=\"success\" ClientID=\"00ff\"/>");
  EXPECT_EQ(progress_report(10, 4), "<RPT TotalBytes=\"10\" CompleteBytes=\"4\"/>");
  EntryInfo info;
  info.size = 5368709120ull;
  info.create_time = 1;
  info.modify_time = 2;
  info.reversion = 3;
  EXPECT_EQ(file_info_reply(info),
            "<ACK Result=\"success\" Size=\"5368709120\" CreateTime=\"1\" LastModifyTime=\"2\""
            " BackupType=\"0\" Reversion=\"3\"/>");
  for (int code = kNotLoggedIn; code <= kIsADirectory; ++code) {
    EXPECT_EQ(std::string(error_text(static_cast<ErrorCode>(code))).find('"'), std::string::npos);
  }
}

TEST(ServiceRequests, ParsedWithTheReplyParser) {
  const std::string text = "<GetFileList StartDir=\"\\a b\\\" SearchSubDirs=\"true\" ClientId=\"x\"/>";
  const Request request(text.c_str(), text.size());
  EXPECT_TRUE(request.is("getfilelist"));
  EXPECT_EQ(request.get("StartDir"), "\\a b\\");
  ASSERT_NE(request.find("ClientID"), nullptr);  // names ignore case
  EXPECT_EQ(*request.find("ClientID"), "x");
  EXPECT_EQ(request.find("Missing"), nullptr);
  EXPECT_THROW(request.get("Missing"), ServiceError);

  const std::string with_nul("<AddDir PathName=\"a\0b\"/>", 24);
  EXPECT_THROW(Request(with_nul.c_str(), with_nul.size()), ServiceError);
  EXPECT_THROW(Request("no tag", 6), ServiceError);
}

// The command line: -1 to serve, else the exit code.
TEST(ServiceOptions, BothSpellingsOfValuesAndUsageErrors) {
  const struct {
    std::vector<const char*> args;
    int result;
  } cases[] = {
      {{"--root=/r", "--local-root=/l", "--port=0", "--log-level=info"}, -1},
      {{"--root", "/r", "--local-root", "/l", "--port", "0", "--log-level", "info"}, -1},
      {{"--root", "/r", "--add-user", "bob"}, -1},
      {{"--version"}, 0},
      {{"--root", "/r"}, -1},  // every absolute path, the clients' rights deciding
      {{"--root", "/r", "--local-root", "/l", "--log-level", "loud"}, 2},
      {{"--root", "/r", "--local-root", "/l", "--max-pending", "0"}, 2},
      {{"--root", "/r", "--local-root", "/l", "--bogus"}, 2},
  };
  for (const auto& c : cases) {
    std::vector<const char*> argv = {"brevanto-service"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Options options;
    EXPECT_EQ(parse_options(static_cast<int>(argv.size()), argv.data(), &options), c.result)
        << c.args[0];
    if (c.result == -1 && c.args.size() == 8) {
      EXPECT_EQ(options.root, "/r");
      EXPECT_EQ(options.local_roots, std::vector<std::string>{"/l"});
      EXPECT_EQ(options.port, 0);
      EXPECT_EQ(options.log_level, LogLevel::kInfo);
    }
  }
}

TEST(ServiceSha256, KnownAnswers) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    Sha256 sha;
    sha.update(c.first.data(), c.first.size());
    EXPECT_EQ(sha.hex(), c.second) << c.first.size();
  }
}

// Pending connections beyond the cap: the oldest idle one makes room, one
// with a request waiting unread only when no idle one is left, one busy
// with a request never; sessions have a cap of their own.
TEST(ServiceConnectionTable, EvictsTheOldestIdlePendingConnection) {
  ConnectionTable table(2, 1);
  int socks[6];
  int peers[6];
  for (int i = 0; i < 6; ++i) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    socks[i] = pair[0];
    peers[i] = pair[1];
  }
  int evicted = -1;
  ASSERT_TRUE(table.admit(1, socks[0], 7, &evicted));
  ASSERT_TRUE(table.admit(2, socks[1], 7, &evicted));
  ASSERT_EQ(::write(peers[0], "<login", 6), 6);  // 1 has a request on its way
  ASSERT_TRUE(table.admit(3, socks[2], 7, &evicted));
  EXPECT_EQ(evicted, 2);
  EXPECT_TRUE(table.promote(3, &evicted));
  EXPECT_FALSE(table.promote(1, &evicted));  // the one session slot is taken
  ASSERT_TRUE(table.admit(4, socks[3], 7, &evicted));
  EXPECT_EQ(evicted, 0);  // 3 left the pending slots
  ASSERT_TRUE(table.admit(5, socks[4], 7, &evicted));
  EXPECT_EQ(evicted, 4);  // idle, unlike 1
  table.set_busy(5, true);
  ASSERT_TRUE(table.admit(6, socks[5], 7, &evicted));
  EXPECT_EQ(evicted, 1);  // only 1 is not busy
  table.set_busy(6, true);
  int spare[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, spare), 0);
  EXPECT_FALSE(table.admit(7, spare[0], 7, &evicted));  // every pending one is busy
  EXPECT_EQ(table.pending(), 2u);
  EXPECT_EQ(table.sessions(), 1u);
  for (int id = 1; id <= 6; ++id) table.close(id);  // closes socks
  for (const int fd : {spare[0], spare[1]}) ::close(fd);
  for (const int peer : peers) ::close(peer);
}

// One uid's flood of pending connections closes that uid's own, not the
// connection of another uid that has yet to log in, even an older one.
TEST(ServiceConnectionTable, AFloodClosesItsOwnUidsConnections) {
  constexpr long kAnn = 1501, kBob = 1502;
  ConnectionTable table(3, 1);
  std::vector<int> fds;
  const auto connection = [&] {
    int pair[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    fds.push_back(pair[1]);
    return pair[0];
  };
  int evicted = -1;
  ASSERT_TRUE(table.admit(1, connection(), kAnn, &evicted));
  ASSERT_TRUE(table.admit(2, connection(), kBob, &evicted));
  ASSERT_TRUE(table.admit(3, connection(), kBob, &evicted));
  for (int id = 4; id < 10; ++id) {
    ASSERT_TRUE(table.admit(id, connection(), kBob, &evicted));
    EXPECT_EQ(evicted, id - 2);  // bob's oldest, never ann's
  }
  ASSERT_TRUE(table.promote(1, &evicted));
  for (int id = 1; id < 10; ++id) table.close(id);
  for (const int fd : fds) ::close(fd);
}

TEST(ServiceFiletime, CountsFrom1601) {
  EXPECT_EQ(filetime_from_timespec(timespec{0, 0}), 116444736000000000);
  EXPECT_EQ(filetime_from_timespec(timespec{1, 999}), 116444736010000009);
  EXPECT_GT(filetime_now(), 130000000000000000);  // after 2012
}

TEST(ServiceStorageTree, ProjectFolders) {
  EXPECT_EQ(project_dir_name(""), "default");
  EXPECT_EQ(project_dir_name("Work/.."), "p-576f726b2f2e2e");
  EXPECT_EQ(user_dir_name(12), "u12");
}

TEST(ServiceAtomicFile, PlacesWholeOrLeavesTheTarget) {
  TempDir dir;
  const int dir_fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dir_fd, 0);
  ASSERT_TRUE(write_file(dir.path() + "/target", "old"));
  {
    AtomicFile file;
    ASSERT_EQ(file.create(dir_fd, make_temp_name(), "target", 0600), 0);
    ASSERT_EQ(::write(file.fd(), "new", 3), 3);
    EXPECT_EQ(file.place(false), EEXIST);  // kept
  }
  EXPECT_EQ(read_file(dir.path() + "/target"), "old");
  {
    AtomicFile file;
    ASSERT_EQ(file.create(dir_fd, make_temp_name(), "target", 0600), 0);
    ASSERT_EQ(::write(file.fd(), "half", 4), 4);
  }  // dropped without commit
  EXPECT_EQ(read_file(dir.path() + "/target"), "old");
  {
    AtomicFile file;
    ASSERT_EQ(file.create(dir_fd, make_temp_name(), "target", 0600), 0);
    ASSERT_EQ(::write(file.fd(), "new", 3), 3);
    EXPECT_EQ(file.place(true), 0);
  }
  EXPECT_EQ(read_file(dir.path() + "/target"), "new");
  EXPECT_EQ(tree_listing(dir.path()), std::vector<std::string>{"target"});
  // Unnamed: dropped, it leaves nothing; linked, it becomes a new target;
  // over an existing one it needs a name first.
  for (const bool keep : {false, true}) {
    AtomicFile file;
    ASSERT_EQ(file.create_unnamed(dir_fd, "fresh", 0600), 0);
    ASSERT_EQ(::write(file.fd(), "unnamed", 7), 7);
    if (keep) {
      EXPECT_EQ(file.place(true), 0);
    }
  }
  EXPECT_EQ(read_file(dir.path() + "/fresh"), "unnamed");
  {
    AtomicFile file;
    ASSERT_EQ(file.create_unnamed(dir_fd, "target", 0600), 0);
    ASSERT_EQ(::write(file.fd(), "newer", 5), 5);
    EXPECT_EQ(file.place(true), EEXIST);
    ASSERT_EQ(file.name(make_temp_name()), 0);
    EXPECT_EQ(file.place(true), 0);
  }
  EXPECT_EQ(read_file(dir.path() + "/target"), "newer");
  EXPECT_EQ(tree_listing(dir.path()), (std::vector<std::string>{"fresh", "target"}));
  EXPECT_TRUE(is_temp_name(make_temp_name()));
  EXPECT_EQ(make_temp_name().size(), sizeof(kTempPrefix) - 1 + 16);
  ::close(dir_fd);
}

TEST(ServiceAccounts, ARecentLoginIsRememberedOnlyForItsPassword) {
  TempDir dir;
  Catalog catalog(dir.path() + "/catalog.db");
  ASSERT_TRUE(add_user(catalog, "ann", "right"));
  const auto id = check_login(catalog, "ann", "right");
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(check_login(catalog, "ann", "right"), id);  // remembered
  EXPECT_FALSE(check_login(catalog, "ann", "wrong").has_value());
  EXPECT_FALSE(check_login(catalog, "bob", "right").has_value());
  // A user added later with the same password has a hash of its own.
  ASSERT_TRUE(add_user(catalog, "bob", "other"));
  EXPECT_FALSE(check_login(catalog, "bob", "right").has_value());
  EXPECT_TRUE(check_login(catalog, "bob", "other").has_value());
}

TEST(ServiceBatchRunner, RunsEachWorkOnceInABatchBegunAfterItCame) {
  struct Work {
    std::uint64_t came = 0;
    std::uint64_t batch_began = 0;
    int runs = 0;
  };
  std::atomic<std::uint64_t> clock{0};
  std::atomic<int> batches{0};
  BatchRunner<Work> runner([&](const std::vector<Work*>& batch) {
    const std::uint64_t began = ++clock;
    ++batches;
    for (Work* w : batch) {
      w->batch_began = began;
      ++w->runs;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  });
  constexpr int kThreads = 8, kEach = 200;
  std::vector<std::vector<Work>> works(kThreads, std::vector<Work>(kEach));
  std::vector<std::thread> threads;
  for (auto& mine : works) {
    threads.emplace_back([&] {
      for (Work& w : mine) {
        w.came = ++clock;
        runner.submit(w);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (const auto& mine : works) {
    for (const Work& w : mine) {
      EXPECT_EQ(w.runs, 1);
      EXPECT_GT(w.batch_began, w.came);
    }
  }
  EXPECT_LT(batches.load(), kThreads * kEach);  // some work was shared
}

// The two ends of a TCP connection on 127.0.0.1.
struct LoopbackPair {
  LoopbackPair() {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    service = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
  }
  ~LoopbackPair() {
    if (client >= 0) ::close(client);
    ::close(service);
  }
  // One receive as a host makes it, after a pause (a host busy with the
  // message before), so that messages sent too early would meet.
  std::string receive_late() {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    char buffer[4096];
    const ssize_t got = ::recv(client, buffer, sizeof(buffer), 0);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
  }

  int client;
  int service;
};

TEST(ServiceReplySender, EachMessageOfAReplyComesInAReceiveOfItsOwn) {
  LoopbackPair pair;
  const std::vector<std::string> reply = {"<RPT Result=\"success\"><file/></RPT>",
                                          "<RPT Result=\"success\"><dir/></RPT>",
                                          "<ACK Result=\"success\"/>"};
  for (int request = 0; request < 2; ++request) {
    ReplySender sender(pair.service);
    std::thread service([&] {
      sender.start_reply();
      for (const std::string& message : reply) sender.send(message);
    });
    for (const std::string& message : reply) EXPECT_EQ(pair.receive_late(), message);
    service.join();
  }
}

TEST(ServiceReplySender, KnowsWhatTheClientHasRead) {
  LoopbackPair pair;
  ReplySender sender(pair.service);
  EXPECT_TRUE(sender.client_has_read());  // nothing sent
  sender.start_reply();
  sender.send("<ACK Result=\"success\"/>");
  EXPECT_FALSE(sender.client_has_read());
  // The first message of the next reply does not wait for the last one.
  sender.start_reply();
  EXPECT_FALSE(sender.message_out());
  sender.send("<RPT TotalBytes=\"9\" CompleteBytes=\"1\"/>");
  EXPECT_FALSE(sender.client_has_read());
  char buffer[4096];
  ASSERT_GT(::recv(pair.client, buffer, sizeof(buffer), 0), 0);
  EXPECT_TRUE(sender.client_has_read());
  // A client that leaves with a message unread ends the wait for it.
  sender.send("<RPT TotalBytes=\"9\" CompleteBytes=\"5\"/>");
  ::close(pair.client);
  pair.client = -1;
  EXPECT_THROW(sender.send("<ACK Result=\"success\"/>"), ClientGone);
}

TEST(ServiceReplySender, SendsWithoutWaitingWhereTheKernelCannotTell) {
  // A Unix socket pair: inet_diag knows nothing of it.
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  ReplySender sender(fds[0]);
  sender.start_reply();
  sender.send("<RPT/>");
  sender.send("<ACK/>");
  EXPECT_TRUE(sender.client_has_read());
  char buffer[64] = {};
  EXPECT_EQ(::recv(fds[1], buffer, sizeof(buffer), 0), 12);
  ::close(fds[0]);
  ::close(fds[1]);
}

// Progress of a 3 MiB transfer whose client reads the first report late:
// the report due at 2 MiB is left out, the next chunk's carries its counts,
// and the last one says all bytes are done.
TEST(ServiceProgressReporter, FoldsAReportTheClientHasNoRoomForIntoTheNext) {
  constexpr std::uint64_t kMiB = ProgressReporter::kReportBytes;
  LoopbackPair pair;
  ReplySender sender(pair.service);
  sender.start_reply();
  ProgressReporter progress(sender, 3 * kMiB);
  progress.advance(kMiB);
  progress.advance(2 * kMiB);
  EXPECT_EQ(pair.receive_late(), progress_report(3 * kMiB, kMiB));
  progress.advance(2 * kMiB + kMiB / 4);
  EXPECT_EQ(pair.receive_late(), progress_report(3 * kMiB, 2 * kMiB + kMiB / 4));
  std::thread ending([&] { progress.finish(3 * kMiB); });
  EXPECT_EQ(pair.receive_late(), progress_report(3 * kMiB, 3 * kMiB));
  ending.join();
}

}  // namespace
