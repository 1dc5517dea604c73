// Fuzzes the client against a hostile service: a listing, a file information
// request and an upload, each answered by fuzzer bytes over a socket pair
// whose far end closes when the bytes run out. Nothing may crash, hang or
// leak, and every listed entry must be well formed.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <list>
#include <string>
#include <thread>

#include "client/Brevanto.h"
#include "protocol/service_connection.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// Connects `conn` to a peer that sends `reply`, drains whatever the client
// sends, and closes its end once the reply is out.
class HostilePeer {
 public:
  HostilePeer(CServiceConnection& conn, std::string reply) : reply_(std::move(reply)) {
    int fds[2];
    check(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
    conn.sock = fds[0];
    conn.connected = true;
    peer_ = fds[1];
    writer_ = std::thread([this] {
      std::size_t done = 0;
      while (done < reply_.size()) {
        const ssize_t n = ::send(peer_, reply_.data() + done, reply_.size() - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
      ::shutdown(peer_, SHUT_WR);
    });
  }
  ~HostilePeer() {
    writer_.join();
    ::close(peer_);
  }

 private:
  std::string reply_;
  int peer_;
  std::thread writer_;
};

int count_progress(std::uint64_t, std::uint64_t, void* context) {
  ++*static_cast<int*>(context);
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string reply(reinterpret_cast<const char*>(data) + 1, size - 1);

  CServiceConnection conn;
  // Keep the fuzzer fast: trace lines go nowhere.
  conn.trace_file.release();
  conn.trace_file.path = L"/dev/null";
  conn.client_id = "fuzz";

  {
    HostilePeer peer(conn, reply);
    switch (data[0] % 3) {
      case 0: {
        std::list<_path_buffer*> list;
        conn.getfilelist(L"\\", true, list);
        for (_path_buffer* entry : list) {
          check(entry != nullptr);
          check(entry->is_dir == 0 || entry->is_dir == 1);
          delete entry;
        }
        break;
      }
      case 1: {
        WIN32_FILE_ATTRIBUTE_DATA info;
        int backup_type = 0, reversion = 0;
        conn.getfileinfo(L"\\a", info, backup_type, reversion);
        break;
      }
      default: {
        int reports = 0;
        conn.addfile(L"/l", L"\\s", count_progress, &reports);
        break;
      }
    }
    // The far end is gone or closing: release the socket before the peer.
    ::shutdown(conn.sock, SHUT_RDWR);
  }
  return 0;
}
