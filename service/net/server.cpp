#include "service/net/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <dirent.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

#include "service/net/connection_table.h"
#include "service/net/peer_identity.h"
#include "service/log.h"
#include "service/net/session.h"
#include "service/net/socket_io.h"
#include "service/net/stop_signal.h"
#include "util/text.h"

namespace {

// Replies are small; a bounded send buffer keeps the memory held for a slow
// client small and lets a long listing notice a departed client early.
constexpr int kSendBufferBytes = 64 * 1024;

}  // namespace

Server::~Server() {
  for (auto& worker : workers_) {
    if (worker->thread.joinable()) worker->thread.join();
  }
}

std::uint16_t Server::listen(std::uint16_t port) {
  listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener_.valid()) throw std::runtime_error(std::string("socket: ") + strerror(errno));
  const int on = 1;
  ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // never any other interface
  if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    throw std::runtime_error("bind 127.0.0.1:" + std::to_string(port) + ": " + strerror(errno));
  }
  // A long backlog keeps a burst of connections from dropping SYNs, which
  // a client would only retry a second later.
  if (::listen(listener_.get(), 1024) != 0) {
    throw std::runtime_error(std::string("listen: ") + strerror(errno));
  }
  socklen_t len = sizeof(addr);
  ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&addr), &len);
  return ntohs(addr.sin_port);
}

void Server::QuietLog::note(const char* what) {
  const auto now = std::chrono::steady_clock::now();
  if (last_ != std::chrono::steady_clock::time_point{} && now - last_ < kQuietLogInterval) {
    ++held_;
    return;
  }
  if (held_ > 0) {
    log_at(level_, "%s (and %lu more like it in the last %lld s)", what, held_,
             static_cast<long long>(
                 std::chrono::duration_cast<std::chrono::seconds>(now - last_).count()));
  } else {
    log_at(level_, "%s", what);
  }
  held_ = 0;
  last_ = now;
}

void Server::run() {
  spare_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  while (!stop_requested()) {
    pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {stop_fd(), POLLIN, 0}};
    // Wakes now and then to join finished workers.
    if (::poll(fds, 2, 1000) < 0 && errno != EINTR) {
      log_error("poll: %s", strerror(errno));
      break;
    }
    reap();
    if (!(fds[0].revents & POLLIN)) continue;
    if (!context_.connections->has_room()) {
      // Connections closed to make room still hold their sockets: the new
      // one waits in the listen queue until their sessions let go.
      pollfd stop = {stop_fd(), POLLIN, 0};
      ::poll(&stop, 1, 2);
      continue;
    }
    sockaddr_in peer = {};
    socklen_t len = sizeof(peer);
    const int sock = ::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &len,
                               SOCK_CLOEXEC);
    if (sock < 0) {
      handle_accept_failure(errno);
      continue;
    }
    char text[INET_ADDRSTRLEN + 8];
    ::inet_ntop(AF_INET, &peer.sin_addr, text, INET_ADDRSTRLEN);
    std::snprintf(text + std::strlen(text), 8, ":%u", ntohs(peer.sin_port));
    start_session(sock, text);
  }
  listener_.reset();
  drain();
}

void Server::handle_accept_failure(int err) {
  if (err == EINTR || err == EAGAIN || err == ECONNABORTED) return;
  if ((err == EMFILE || err == ENFILE) && spare_.valid()) {
    // The spare descriptor makes room to take the waiting connection and
    // close it, so the listener does not stay readable.
    spare_.reset();
    const int sock = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (sock >= 0) ::close(sock);
    spare_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  }
  shed_log_.note(format_narrow("accept: %s; closing new connections at once", strerror(err))
                     .c_str());
  if (!spare_.valid() || (err != EMFILE && err != ENFILE)) {
    // Nothing to shed with: wait a little instead of spinning.
    pollfd stop = {stop_fd(), POLLIN, 0};
    ::poll(&stop, 1, 100);
    if (!spare_.valid()) spare_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  }
}

void Server::drain() {
  reap();
  log_always("stopping: waiting for %zu session(s)", workers_.size());
  const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
  while (!workers_.empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    reap();
  }
  context_.connections->shutdown_all();
  for (auto& worker : workers_) worker->thread.join();
  workers_.clear();
}

void Server::start_session(int sock, const char* peer) {
  const int id = next_id_++;
  int evicted = 0;
  ConnectionTable& table = *context_.connections;
  // The owner of the client's socket: a flood of one uid's connections
  // makes room among that uid's own.
  if (!table.admit(id, sock, peer_uid(sock), &evicted)) {
    refused_log_.note(format_narrow("refused connection from %s: every slot for connections "
                                    "that have not logged in is busy",
                                    peer)
                          .c_str());
    ::close(sock);
    return;
  }
  if (evicted != 0) {
    evicted_log_.note(format_narrow("conn %d: closed before login to make room for a new "
                                    "connection",
                                    evicted)
                          .c_str());
  }
  const int on = 1;
  ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  timeval timeout = {static_cast<time_t>(kSendTimeout.count()), 0};
  ::setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  ::setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &kSendBufferBytes, sizeof(kSendBufferBytes));

  log_info("conn %d: accepted from %s", id, peer);
  auto worker = std::make_unique<Worker>();
  Worker* w = worker.get();
  ServiceContext& context = context_;
  try {
    w->thread = std::thread([w, &context, &table, sock, id] {
      try {
        Session(context, sock, id).run();
      } catch (const std::exception& e) {
        log_error("conn %d: session failed: %s", id, e.what());
      }
      table.close(id);
      log_info("conn %d: closed", id);
      w->done = true;
    });
  } catch (const std::system_error& e) {
    log_error("conn %d: cannot start a thread: %s", id, e.what());
    table.close(id);
    return;
  }
  workers_.push_back(std::move(worker));
}

void Server::reap() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if ((*it)->done) {
      (*it)->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

std::size_t raise_descriptor_limit() {
  rlimit limit = {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? static_cast<std::size_t>(1) << 20
                                         : static_cast<std::size_t>(limit.rlim_cur);
}

std::size_t open_descriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return 64;  // a guess on the safe side
  std::size_t count = 0;
  while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
  ::closedir(dir);
  return count - 1;  // the directory's own descriptor
}
