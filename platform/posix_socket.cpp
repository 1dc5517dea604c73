// Winsock over BSD sockets.
//
// Calls fail with WSANOTINITIALISED outside WSAStartup/WSACleanup, as on
// Windows. Blocking calls resume after signals; send never raises SIGPIPE.
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/posix_error.h"
#include "platform/win32.h"

namespace win32 {

namespace {

std::atomic<int> startup_count{0};

// Records a Winsock error; returns SOCKET_ERROR (== INVALID_SOCKET).
int Fail(int code) {
  posix::SetLastError(static_cast<DWORD>(code));
  return SOCKET_ERROR;
}

int FailErrno() { return Fail(posix::WinsockError(errno)); }

bool Started() { return startup_count.load(std::memory_order_relaxed) > 0; }

// EAGAIN on a blocking socket means SO_RCVTIMEO or SO_SNDTIMEO expired,
// which Windows reports as a time-out.
int TransferError(SOCKET s, int err, int flags) {
  if ((err == EAGAIN || err == EWOULDBLOCK) && !(flags & MSG_DONTWAIT)) {
    const int fl = fcntl(s, F_GETFL);
    if (fl != -1 && !(fl & O_NONBLOCK)) return WSAETIMEDOUT;
  }
  // EPIPE: this side shut down sending (WSAESHUTDOWN), the socket never
  // connected (WSAENOTCONN), or the connection was reset (WSAECONNRESET).
  if (err == EPIPE) {
    tcp_info info;
    socklen_t len = sizeof(info);
    if (getsockopt(s, IPPROTO_TCP, TCP_INFO, &info, &len) == 0) {
      // A socket that never completed a handshake has no round-trip sample:
      // never connected (or its connect failed), which Winsock reports as
      // not connected rather than reset.
      if (info.tcpi_state == TCP_CLOSE && info.tcpi_rtt == 0) return WSAENOTCONN;
      switch (info.tcpi_state) {
        case TCP_FIN_WAIT1:
        case TCP_FIN_WAIT2:
        case TCP_CLOSING:
        case TCP_TIME_WAIT:
        case TCP_LAST_ACK:
          return WSAESHUTDOWN;
        default:
          break;
      }
    }
  }
  return posix::WinsockError(err);
}

// Completes a connect that a signal interrupted.
int FinishConnect(SOCKET s) {
  pollfd p = {s, POLLOUT, 0};
  int rc;
  do {
    rc = poll(&p, 1, -1);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return FailErrno();
  int err = 0;
  socklen_t len = sizeof(err);
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return FailErrno();
  return err == 0 ? 0 : Fail(posix::WinsockError(err));
}

}  // namespace

int WSAStartup(WORD version, WSADATA* data) {
  const int major = version & 0xFF;
  const int minor = version >> 8;
  if (major == 0) return WSAVERNOTSUPPORTED;
  if (data == nullptr) return WSAEFAULT;
  std::memset(data, 0, sizeof(*data));
  const bool newer = major > 2 || (major == 2 && minor >= 2);
  data->wVersion = newer ? 0x0202 : version;
  data->wHighVersion = 0x0202;
  std::strcpy(data->szDescription, "WinSock 2.0");
  std::strcpy(data->szSystemStatus, "Running");
  startup_count.fetch_add(1);
  return 0;
}

int WSACleanup() {
  int n = startup_count.load();
  do {
    if (n == 0) return Fail(WSANOTINITIALISED);
  } while (!startup_count.compare_exchange_weak(n, n - 1));
  return 0;
}

int WSAGetLastError() { return static_cast<int>(posix::LastError()); }

SOCKET socket(int af, int type, int protocol) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  const SOCKET s = ::socket(af, type | SOCK_CLOEXEC, protocol);
  return s < 0 ? FailErrno() : s;
}

int connect(SOCKET s, const sockaddr* name, int namelen) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  if (name == nullptr || namelen < 0) return Fail(WSAEFAULT);
  if (::connect(s, name, static_cast<socklen_t>(namelen)) == 0) return 0;
  if (errno == EINTR) return FinishConnect(s);
  // A non-blocking connect in progress reads WSAEWOULDBLOCK on Windows.
  if (errno == EINPROGRESS) return Fail(WSAEWOULDBLOCK);
  return FailErrno();
}

int bind(SOCKET s, const sockaddr* name, int namelen) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  if (name == nullptr || namelen < 0) return Fail(WSAEFAULT);
  return ::bind(s, name, static_cast<socklen_t>(namelen)) == 0 ? 0 : FailErrno();
}

int listen(SOCKET s, int backlog) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  return ::listen(s, backlog) == 0 ? 0 : FailErrno();
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  if (addr != nullptr && (addrlen == nullptr || *addrlen < 0)) return Fail(WSAEFAULT);
  socklen_t len = addr != nullptr ? static_cast<socklen_t>(*addrlen) : 0;
  SOCKET c;
  do {
    c = ::accept4(s, addr, addr != nullptr ? &len : nullptr, SOCK_CLOEXEC);
  } while (c < 0 && errno == EINTR);
  if (c < 0) return FailErrno();
  if (addr != nullptr) *addrlen = static_cast<int>(len);
  return c;
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  if (optlen < 0 || (optval == nullptr && optlen > 0)) return Fail(WSAEFAULT);
  const void* value = optval;
  socklen_t len = static_cast<socklen_t>(optlen);
  timeval tv;
  linger lg;
  int widened;
  if (level == SOL_SOCKET && (optname == SO_RCVTIMEO || optname == SO_SNDTIMEO) &&
      optlen == sizeof(DWORD)) {
    // Windows takes a DWORD of milliseconds.
    DWORD ms;
    std::memcpy(&ms, optval, sizeof(ms));
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    value = &tv;
    len = sizeof(tv);
  } else if (level == SOL_SOCKET && optname == SO_LINGER &&
             optlen == 2 * sizeof(u_short)) {
    // Windows' linger holds two u_shorts.
    u_short fields[2];
    std::memcpy(fields, optval, sizeof(fields));
    lg.l_onoff = fields[0];
    lg.l_linger = fields[1];
    value = &lg;
    len = sizeof(lg);
  } else if (optlen > 0 && optlen < static_cast<int>(sizeof(int))) {
    // Windows accepts a short value for an integer option.
    widened = 0;
    for (int i = optlen - 1; i >= 0; --i) {
      widened = (widened << 8) | static_cast<unsigned char>(optval[i]);
    }
    value = &widened;
    len = sizeof(widened);
  }
  return ::setsockopt(s, level, optname, value, len) == 0 ? 0 : FailErrno();
}

int getsockname(SOCKET s, sockaddr* name, int* namelen) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  if (name == nullptr || namelen == nullptr || *namelen < 0) return Fail(WSAEFAULT);
  sockaddr_storage addr;
  socklen_t len = sizeof(addr);
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    return FailErrno();
  }
  // An unbound IP socket has port 0; Windows reports it as invalid.
  const bool unbound =
      (addr.ss_family == AF_INET &&
       reinterpret_cast<sockaddr_in*>(&addr)->sin_port == 0) ||
      (addr.ss_family == AF_INET6 &&
       reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port == 0);
  if (unbound) return Fail(WSAEINVAL);
  if (len > static_cast<socklen_t>(*namelen)) return Fail(WSAEFAULT);
  std::memcpy(name, &addr, len);
  *namelen = static_cast<int>(len);
  return 0;
}

int send(SOCKET s, const char* buf, int len, int flags) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  if (len < 0) return Fail(WSAEINVAL);
  if (buf == nullptr && len > 0) return Fail(WSAEFAULT);
  // A blocking Windows send returns once all of `buf` is queued.
  int done = 0;
  do {
    const ssize_t n = ::send(s, buf + done, len - done, flags | MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (done > 0) break;
      return Fail(TransferError(s, errno, flags));
    }
    done += static_cast<int>(n);
  } while (done < len);
  return done;
}

int recv(SOCKET s, char* buf, int len, int flags) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  if (len < 0) return Fail(WSAEINVAL);
  if (buf == nullptr && len > 0) return Fail(WSAEFAULT);
  ssize_t n;
  do {
    n = ::recv(s, buf, len, flags);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? Fail(TransferError(s, errno, flags)) : static_cast<int>(n);
}

int shutdown(SOCKET s, int how) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  static_assert(SD_RECEIVE == SHUT_RD && SD_SEND == SHUT_WR && SD_BOTH == SHUT_RDWR,
                "shutdown modes differ");
  if (how != SD_RECEIVE && how != SD_SEND && how != SD_BOTH) return Fail(WSAEINVAL);
  return ::shutdown(s, how) == 0 ? 0 : FailErrno();
}

int closesocket(SOCKET s) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  // Only sockets are closed here; other descriptors are not sockets.
  struct stat st;
  if (fstat(s, &st) != 0 || !S_ISSOCK(st.st_mode)) return Fail(WSAENOTSOCK);
  if (close(s) != 0 && errno != EINTR) return FailErrno();
  return 0;
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  if (argp == nullptr) return Fail(WSAEFAULT);
  if (cmd != FIONREAD && cmd != FIONREAD_WIN32) return Fail(WSAEINVAL);
  int count = 0;
  if (ioctl(s, FIONREAD, &count) != 0) return FailErrno();
  *argp = static_cast<u_long>(count);
  return 0;
}

int WSAPoll(WSAPOLLFD* fds, unsigned long count, int timeout_ms) {
  if (!Started()) return Fail(WSANOTINITIALISED);
  if (fds == nullptr && count > 0) return Fail(WSAEFAULT);
  // A retry after a signal waits only for the time left.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int n;
  for (;;) {
    n = ::poll(fds, static_cast<nfds_t>(count), timeout_ms);
    if (n >= 0 || errno != EINTR) break;
    if (timeout_ms > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      timeout_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
  }
  if (n < 0) return FailErrno();
  return n;
}

unsigned long inet_addr(const char* cp) {
  if (cp == nullptr) return INADDR_NONE;
  return ::inet_addr(cp);
}

u_short htons(u_short hostshort) { return ::htons(hostshort); }

u_short ntohs(u_short netshort) { return ::ntohs(netshort); }

}  // namespace win32
