// The client's protocol paths against bare socket loops over the same bytes,
// each measured side by side in one run:
//   listing     getfilelist of 1,000,000 entries vs a bare receive loop
//   round trip  getfileinfo in a loop vs a bare send/receive ping-pong
//   progress    a transfer absorbing reports vs a bare receive loop
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "bench/corpus.h"
#include "client/Brevanto.h"
#include "client/file_list.h"
#include "protocol/listing_entries.h"
#include "protocol/service_connection.h"
#include "service/net/reply_sender.h"
#include "service/net/socket_io.h"
#include "xml/reply_document.h"

namespace {

// A loopback server on an ephemeral port; each connection is handed to
// `serve` on a thread of its own.
class Server {
 public:
  explicit Server(std::function<void(int)> serve) : serve_(std::move(serve)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::listen(listener_, 16);
    socklen_t len = sizeof(a);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      for (;;) {
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0 || stop_) {
          if (fd >= 0) ::close(fd);
          return;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        std::lock_guard<std::mutex> lock(mu_);
        clients_.push_back(fd);
        workers_.emplace_back([this, fd] { serve_(fd); });
      }
    });
  }
  ~Server() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    std::lock_guard<std::mutex> lock(mu_);
    for (int fd : clients_) ::shutdown(fd, SHUT_RDWR);
    for (std::thread& t : workers_) t.join();
    for (int fd : clients_) ::close(fd);
    ::close(listener_);
  }
  unsigned short port() const { return port_; }

  // A plain client socket to this server.
  int dial() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port_);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return fd;
  }

 private:
  std::function<void(int)> serve_;
  int listener_;
  unsigned short port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mu_;
  std::vector<int> clients_;
  std::vector<std::thread> workers_;
};

void send_all(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, std::min<std::size_t>(bytes.size() - done, 1 << 16), MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// Reads one request: every request of the protocol ends with "/>". The
// client's closing logout ends the conversation.
bool read_request(int fd, std::string& pending) {
  char buf[4096];
  for (;;) {
    const std::size_t end = pending.find("/>");
    if (end != std::string::npos) {
      const bool logout = pending.compare(0, 7, "<logout") == 0;
      pending.erase(0, end + 2);
      if (logout) send_all(fd, "<ACK Result=\"success\"/>");
      return !logout;
    }
    const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) return false;
    pending.append(buf, static_cast<std::size_t>(n));
  }
}

// Answers each request with `messages` as the service does: one send each,
// each once the client has read the one before, so every message comes in
// a receive of its own.
Server answering_with(const std::vector<std::string>& messages) {
  return Server([&messages](int fd) {
    std::string pending;
    ReplySender sender(fd);
    try {
      while (read_request(fd, pending)) {
        sender.start_reply();
        for (const std::string& m : messages) sender.send(m);
      }
    } catch (const ClientGone&) {
    }
  });
}

void bare_receive(int fd, std::size_t bytes) {
  char buf[4096];
  std::size_t got = 0;
  while (got < bytes) {
    const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
}

// Where the time of one listing message goes, measured without the socket:
// parsing it alone, and parsing it and making its entries (each a separately
// allocated record and path, appended to a std::list, as the interface has
// them). What is left of ours is receiving and framing.
void listing_budget(const std::vector<std::string>& messages, int rounds) {
  const double n = static_cast<double>(messages.size());
  std::vector<double> parse, parse_and_entries;
  _reply_document doc;
  std::list<_path_buffer*> list;
  for (int r = 0; r < rounds; ++r) {
    parse.push_back(bench::seconds_of([&] {
      for (const std::string& m : messages) {
        clear_reply(doc);
        parse_reply(doc, m.c_str());
      }
    }) / n * 1e6);
    CListingEntries entries;
    parse_and_entries.push_back(bench::seconds_of([&] {
      for (const std::string& m : messages) {
        clear_reply(doc);
        parse_reply(doc, m.c_str());
        entries.append(doc, list);
      }
    }) / n * 1e6);
    release_file_list(list);
  }
  std::printf("listing, time per message without the socket: parsing %.2f us, "
              "parsing and making the entries %.2f us\n",
              bench::median(parse), bench::median(parse_and_entries));
}

CServiceConnection* connect_client(unsigned short port) {
  auto* conn = new CServiceConnection();
  conn->port = port;
  conn->client_id = "bench";
  conn->go_online(conn->host.c_str(), port);
  return conn;
}

const char kRequest[] = "<GetFileInfo PathName=\"\\backup\\a.txt\" ClientID=\"bench\"/>";

int count_report(std::uint64_t, std::uint64_t, void* context) {
  ++*static_cast<std::size_t*>(context);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
  // An optional second argument runs one comparison only (for profiling).
  const std::string only = argc > 2 ? argv[2] : "";
  auto wanted = [&only](const char* name) { return only.empty() || only == name; };

  if (wanted("listing")) {  // Listing: one million entries.
    std::size_t entries_per_listing = 0;
    auto messages = bench::listing_messages(1000000 / 44 + 1, &entries_per_listing);
    messages.push_back("<ACK Result=\"success\"/>");
    std::size_t stream_size = 0;
    for (const std::string& m : messages) stream_size += m.size();
    const double message_count = static_cast<double>(messages.size());
    Server server = answering_with(messages);
    CServiceConnection* conn = connect_client(server.port());
    const int bare = server.dial();
    std::list<_path_buffer*> list;  // the host's list, released outside the clock
    auto list_all = [&] {
      const int status = conn->getfilelist(L"\\", true, list);
      if (status != 0 || list.size() != entries_per_listing) {
        std::fprintf(stderr, "listing failed: %d, %zu entries\n", status, list.size());
        std::abort();
      }
    };
    const bench::Pair p = bench::compare(
        rounds, message_count, list_all,
        [&] {
          send_all(bare, "<GetFileList StartDir=\"\\\" SearchSubDirs=\"true\" ClientId=\"bench\"/>");
          bare_receive(bare, stream_size);
        },
        [&] { release_file_list(list); });
    // Memory is counted in a run of its own, so that timed runs see the
    // allocator as a host would.
    bench::start_heap_count();
    list_all();
    const bench::HeapCount heap = bench::stop_heap_count();
    release_file_list(list);
    bench::row("listing, 1M entries (messages/s)", p, "msg/s");
    std::printf("listing: %.3g entries/s; heap held by the entries %lld bytes, peak beyond "
                "them %lld bytes\n",
                p.ours * entries_per_listing / message_count, heap.change, heap.peak - heap.change);
    std::printf("listing, time per message: ours %.2f us, bare receive loop %.2f us\n",
                1e6 / p.ours, 1e6 / p.peer);
    messages.pop_back();  // the closing ACK
    listing_budget(messages, rounds);
    ::close(bare);
    delete conn;
  }

  if (wanted("roundtrip")) {  // Round trip: a small request, a small reply.
    const std::vector<std::string> reply = bench::file_info_replies(1);
    Server server = answering_with(reply);
    CServiceConnection* conn = connect_client(server.port());
    const int bare = server.dial();
    const int n = 20000;
    const bench::Pair p = bench::compare(
        rounds, n,
        [&] {
          WIN32_FILE_ATTRIBUTE_DATA data;
          int bt = 0, rv = 0;
          for (int i = 0; i < n; ++i) conn->getfileinfo(L"\\backup\\a.txt", data, bt, rv);
        },
        [&] {
          char buf[4096];
          for (int i = 0; i < n; ++i) {
            send_all(bare, kRequest);
            if (::recv(bare, buf, sizeof(buf), 0) <= 0) std::abort();
          }
        });
    bench::row("round trip, getfileinfo (calls/s)", p, "calls/s");
    ::close(bare);
    delete conn;
  }

  if (wanted("progress")) {  // Progress: a stream of reports, then the final reply.
    const auto reports = bench::progress_reports(200000);
    std::vector<std::string> messages = reports;
    messages.push_back("<ACK Result=\"success\"/>");
    std::size_t stream_size = 0;
    for (const std::string& m : messages) stream_size += m.size();
    Server server = answering_with(messages);
    CServiceConnection* conn = connect_client(server.port());
    const int bare = server.dial();
    std::size_t seen = 0;
    const bench::Pair p = bench::compare(
        rounds, static_cast<double>(reports.size()),
        [&] {
          seen = 0;
          conn->addfile(L"/local/file", L"\\backup\\file", count_report, &seen);
          if (seen != reports.size()) std::abort();
        },
        [&] {
          send_all(bare, "<AddFile PathName=\"\\backup\\file\" LocalPathName=\"/local/file\" ClientID=\"bench\"/>");
          bare_receive(bare, stream_size);
        });
    bench::row("progress reports (reports/s)", p, "reports/s");
    ::close(bare);
    delete conn;
  }
  return 0;
}
