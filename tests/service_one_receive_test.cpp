// The service against a host that reads as the protocol describes it: one
// receive of at most 4096 bytes is one message, and a message whose first
// tag is "RPT " (a progress report, or a listing message with more to
// come) is followed by another. Nothing here reassembles or splits bytes,
// so messages sent back to back lose listing entries, and a report joined
// to its final reply leaves the host waiting; a receive time-out turns a
// hang into a failure.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/service_test_env.h"

namespace {

constexpr std::uint64_t kMiB = 1 << 20;

// A plain socket to 127.0.0.1:11001.
class OneReceiveHost {
 public:
  OneReceiveHost() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Only a hang takes this long.
    timeval timeout = {10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(11001);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~OneReceiveHost() {
    if (fd_ >= 0) ::close(fd_);
  }
  OneReceiveHost(const OneReceiveHost&) = delete;
  OneReceiveHost& operator=(const OneReceiveHost&) = delete;

  bool send(const std::string& text) {
    return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(text.size());
  }

  // One receive, one message; empty when the connection closed or nothing
  // came in time. Every other receive comes a little late, as from a host
  // busy with the message before, so that messages sent without waiting
  // for the host would meet in its socket.
  std::string receive() {
    if (++receives_ % 2 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    char buffer[4096];
    const ssize_t got = ::recv(fd_, buffer, sizeof(buffer), 0);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
  }

  // The ClientID, or empty.
  std::string login() {
    if (fd_ < 0 || !send("<login User=\"alice\" Password=\"s3cret\" ProjectName=\"\" "
                         "ClientType=\"1\" ClientID=\"0\"/>")) {
      return std::string();
    }
    return value_of(receive(), "ClientID");
  }

  // The value of `name`="..." in `text` (the service's spelling), or empty.
  static std::string value_of(const std::string& text, const std::string& name,
                              std::size_t from = 0) {
    const std::size_t at = text.find(" " + name + "=\"", from);
    if (at == std::string::npos) return std::string();
    const std::size_t begin = at + name.size() + 3;
    return text.substr(begin, text.find('"', begin) - begin);
  }

 private:
  int fd_ = -1;
  unsigned receives_ = 0;
};

bool is_report(const std::string& message) { return message.compare(0, 5, "<RPT ") == 0; }

// How many messages begin in what one receive held: every message of the
// service begins with <RPT or <ACK, and nothing else in it does.
int heads_in(const std::string& received) {
  int heads = 0;
  for (const char* head : {"<RPT ", "<RPT>", "<ACK ", "<ACK>"}) {
    for (std::size_t at = received.find(head); at != std::string::npos;
         at = received.find(head, at + 1)) {
      ++heads;
    }
  }
  return heads;
}

TEST(ServiceOneReceive, ListingOfTenThousandEntriesArrivesWhole) {
  ServiceEnv env(11001);
  ASSERT_TRUE(env.started) << env.service.log();
  OneReceiveHost host;
  const std::string id = host.login();  // makes the tree
  ASSERT_FALSE(id.empty()) << env.service.log();

  // Four folders of 2,500 files, and the top's folder of earlier versions.
  std::vector<std::string> expected = {"\\.history"};
  std::vector<std::string> files;
  for (int folder = 0; folder < 4; ++folder) {
    const std::string name = "folder-" + std::to_string(folder);
    expected.push_back("\\" + name);
    for (int i = 0; i < 2500; ++i) {
      char file[64];
      std::snprintf(file, sizeof(file), "entry-%05d-with-a-longer-name.txt", i);
      files.push_back("\\" + name + "\\" + file);
    }
  }
  ASSERT_TRUE(env.seed_files(files));
  expected.insert(expected.end(), files.begin(), files.end());

  ASSERT_TRUE(host.send("<GetFileList StartDir=\"\\\" SearchSubDirs=\"true\" ClientId=\"" + id +
                        "\"/>"));
  std::vector<std::string> listed;
  for (int messages = 1;; ++messages) {
    const std::string message = host.receive();
    ASSERT_FALSE(message.empty()) << "nothing after " << listed.size() << " entries";
    ASSERT_EQ(heads_in(message), 1) << "receive " << messages << ": " << message.substr(0, 300);
    EXPECT_EQ(OneReceiveHost::value_of(message, "Result"), "success");
    for (const char* element : {"<file ", "<dir "}) {
      for (std::size_t at = message.find(element); at != std::string::npos;
           at = message.find(element, at + 1)) {
        listed.push_back(OneReceiveHost::value_of(message, "ParentDir", at) +
                         OneReceiveHost::value_of(message, "Name", at));
      }
    }
    if (!is_report(message)) break;
  }
  std::sort(listed.begin(), listed.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed.size(), expected.size());
  EXPECT_TRUE(listed == expected);  // each entry exactly once
}

struct Transfer {
  std::string final_reply;                                       // empty: none came
  std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;  // (complete, total)
  std::string joined;  // a receive that held more than one message
};

Transfer run(OneReceiveHost& host, const std::string& request) {
  Transfer out;
  if (!host.send(request)) return out;
  for (;;) {
    const std::string message = host.receive();
    if (message.empty()) return out;
    if (heads_in(message) != 1) {
      out.joined = message;
      return out;
    }
    if (!is_report(message)) {
      out.final_reply = message;
      return out;
    }
    out.reports.emplace_back(std::stoull(OneReceiveHost::value_of(message, "CompleteBytes")),
                             std::stoull(OneReceiveHost::value_of(message, "TotalBytes")));
  }
}

// Reports count up to the file's size, and a transfer that reported at all
// ends with all bytes done; one of 1 MiB or more reports.
void check(const Transfer& transfer, std::uint64_t size, const std::string& what) {
  SCOPED_TRACE(what + " of " + std::to_string(size) + " bytes");
  ASSERT_TRUE(transfer.joined.empty()) << "one receive held: " << transfer.joined;
  ASSERT_FALSE(transfer.final_reply.empty()) << "no final reply";
  EXPECT_EQ(OneReceiveHost::value_of(transfer.final_reply, "Result"), "success")
      << transfer.final_reply;
  std::uint64_t last = 0;
  for (const auto& report : transfer.reports) {
    EXPECT_EQ(report.second, size);
    EXPECT_LE(report.first, report.second);
    EXPECT_GE(report.first, last);
    last = report.first;
  }
  if (size >= kMiB) {
    EXPECT_FALSE(transfer.reports.empty());
  }
  if (!transfer.reports.empty()) {
    EXPECT_EQ(transfer.reports.back().first, size);
  }
}

TEST(ServiceOneReceive, TransfersOfEverySizeEndWithTheirFinalReply) {
  ServiceEnv env(11001);
  ASSERT_TRUE(env.started) << env.service.log();
  OneReceiveHost host;
  const std::string id = host.login();
  ASSERT_FALSE(id.empty()) << env.service.log();

  // Sizes around the report step, then a fixed spread from 100 B to 3 MB,
  // even on a log scale.
  std::vector<std::uint64_t> sizes = {100, 4096, kMiB - 1, kMiB, kMiB + 1, 2 * kMiB, 3000000};
  std::mt19937 random(2024);
  std::uniform_real_distribution<double> exponent(std::log(100.0), std::log(3000000.0));
  while (sizes.size() < 100) {
    sizes.push_back(static_cast<std::uint64_t>(std::exp(exponent(random))));
  }
  ASSERT_EQ(::mkdir((env.local + "/back").c_str(), 0700), 0);
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const std::string name = "f" + std::to_string(i);
    const std::string source = env.local + "/" + name;
    ASSERT_TRUE(write_file(source, pattern_bytes(sizes[i], static_cast<unsigned>(i))));
    const std::string tail = "\" ClientID=\"" + id + "\"/>";
    check(run(host, "<AddFile PathName=\"\\t\\" + name + "\" LocalPathName=\"" + source + tail),
          sizes[i], "upload " + name);
    if (HasFatalFailure()) return;  // the connection is out of step
    check(run(host, "<DownloadFile PathName=\"\\t\\" + name + "\" LocalPathName=\"" + env.local +
                        "/back/" + name + tail),
          sizes[i], "download " + name);
    if (HasFatalFailure()) return;  // the connection is out of step
    struct stat st;
    ASSERT_EQ(::stat((env.local + "/back/" + name).c_str(), &st), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), sizes[i]);
  }
}

}  // namespace
