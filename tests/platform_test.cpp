// The Win32 calls of platform/win32.h as a Windows caller observes them. The
// same cases run against the real calls on Windows (and under Wine); cases
// under #ifndef _WIN32 cover choices of the POSIX implementation, or Windows
// behaviour that Wine does not reproduce.
#include "platform/win32.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// ---------------------------------------------------------------------------
// Sockets

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(0, win32::WSAStartup(0x0202, &data));
    EXPECT_EQ(0x0202, data.wVersion);
  }
  void TearDown() override { EXPECT_EQ(0, win32::WSACleanup()); }

  static sockaddr_in Loopback(u_short port) {
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = static_cast<std::uint32_t>(win32::inet_addr("127.0.0.1"));
    addr.sin_port = win32::htons(port);
    return addr;
  }

  // A socket listening on 127.0.0.1 at an ephemeral port.
  static SOCKET Listen(u_short* port) {
    const SOCKET s = win32::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(INVALID_SOCKET, s);
    sockaddr_in addr = Loopback(0);
    EXPECT_EQ(0, win32::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
    EXPECT_EQ(0, win32::listen(s, 4));
    int len = sizeof(addr);
    EXPECT_EQ(0, win32::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len));
    *port = win32::ntohs(addr.sin_port);
    return s;
  }

  static SOCKET Connect(u_short port) {
    const SOCKET s = win32::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr = Loopback(port);
    EXPECT_EQ(0, win32::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
    return s;
  }

  // A connected pair: `client` and the accepted `server` end.
  static void Pair(SOCKET* client, SOCKET* server) {
    u_short port;
    const SOCKET listener = Listen(&port);
    *client = Connect(port);
    *server = win32::accept(listener, nullptr, nullptr);
    EXPECT_NE(INVALID_SOCKET, *server);
    win32::closesocket(listener);
  }

  // Sends one byte at a time until send fails; returns the error, or 0.
  static int SendUntilError(SOCKET s) {
    for (int i = 0; i < 200; ++i) {
      if (win32::send(s, "x", 1, 0) == SOCKET_ERROR) return win32::WSAGetLastError();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
  }
};

TEST_F(SocketTest, ConnectToClosedPortIsRefused) {
  u_short port;
  win32::closesocket(Listen(&port));
  const SOCKET s = win32::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr = Loopback(port);
  EXPECT_EQ(SOCKET_ERROR, win32::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
  EXPECT_EQ(WSAECONNREFUSED, win32::WSAGetLastError());
  win32::closesocket(s);
}

TEST_F(SocketTest, InvalidSocketIsNotASocket) {
  char buf[4];
  EXPECT_EQ(SOCKET_ERROR, win32::send(INVALID_SOCKET, "x", 1, 0));
  EXPECT_EQ(WSAENOTSOCK, win32::WSAGetLastError());
  EXPECT_EQ(SOCKET_ERROR, win32::recv(INVALID_SOCKET, buf, sizeof(buf), 0));
  EXPECT_EQ(WSAENOTSOCK, win32::WSAGetLastError());
  EXPECT_EQ(SOCKET_ERROR, win32::closesocket(INVALID_SOCKET));
  EXPECT_EQ(WSAENOTSOCK, win32::WSAGetLastError());
}

TEST_F(SocketTest, BytesFlowUntilPeerShutsDown) {
  SOCKET client, server;
  Pair(&client, &server);
  EXPECT_EQ(5, win32::send(client, "hello", 5, 0));
  u_long waiting = 0;
  for (int i = 0; i < 100 && waiting < 5; ++i) {
    ASSERT_EQ(0, win32::ioctlsocket(server, FIONREAD, &waiting));
    if (waiting < 5) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(5u, waiting);
  char buf[16];
  EXPECT_EQ(5, win32::recv(server, buf, sizeof(buf), 0));
  EXPECT_EQ(0, std::memcmp(buf, "hello", 5));
  EXPECT_EQ(0, win32::shutdown(client, SD_SEND));
  EXPECT_EQ(0, win32::recv(server, buf, sizeof(buf), 0));
  // This side shut down sending.
  EXPECT_EQ(SOCKET_ERROR, win32::send(client, "x", 1, 0));
  EXPECT_EQ(WSAESHUTDOWN, win32::WSAGetLastError());
  win32::closesocket(client);
  win32::closesocket(server);
}

TEST_F(SocketTest, SendToResetPeerFailsWithoutSignal) {
  SOCKET client, server;
  Pair(&client, &server);
  linger abort_close = {1, 0};
  ASSERT_EQ(0, win32::setsockopt(server, SOL_SOCKET, SO_LINGER,
                                 reinterpret_cast<const char*>(&abort_close),
                                 sizeof(abort_close)));
  win32::closesocket(server);
  const int err = SendUntilError(client);
  EXPECT_TRUE(err == WSAECONNRESET || err == WSAECONNABORTED) << err;
  win32::closesocket(client);
}

TEST_F(SocketTest, SendToClosedPeerEventuallyFails) {
  SOCKET client, server;
  Pair(&client, &server);
  win32::closesocket(server);
  const int err = SendUntilError(client);
  EXPECT_TRUE(err == WSAECONNRESET || err == WSAECONNABORTED) << err;
  const int again = SendUntilError(client);
  EXPECT_TRUE(again == WSAECONNRESET || again == WSAECONNABORTED) << again;
  win32::closesocket(client);
}

TEST_F(SocketTest, ReceiveTimeoutIsMilliseconds) {
  SOCKET client, server;
  Pair(&client, &server);
  const DWORD timeout_ms = 100;
  ASSERT_EQ(0, win32::setsockopt(server, SOL_SOCKET, SO_RCVTIMEO,
                                 reinterpret_cast<const char*>(&timeout_ms),
                                 sizeof(timeout_ms)));
  char buf[4];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SOCKET_ERROR, win32::recv(server, buf, sizeof(buf), 0));
  EXPECT_EQ(WSAETIMEDOUT, win32::WSAGetLastError());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  win32::closesocket(client);
  win32::closesocket(server);
}

TEST_F(SocketTest, GetsocknameChecksStateAndLength) {
  const SOCKET s = win32::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr;
  int len = sizeof(addr);
  EXPECT_EQ(SOCKET_ERROR, win32::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len));
  EXPECT_EQ(WSAEINVAL, win32::WSAGetLastError());
  win32::closesocket(s);

  u_short port;
  const SOCKET listener = Listen(&port);
  EXPECT_NE(0, port);
  len = 4;
  EXPECT_EQ(SOCKET_ERROR,
            win32::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len));
  EXPECT_EQ(WSAEFAULT, win32::WSAGetLastError());
  win32::closesocket(listener);
}

TEST(SocketStartupTest, CallsNeedStartup) {
  EXPECT_EQ(INVALID_SOCKET, win32::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  EXPECT_EQ(WSANOTINITIALISED, win32::WSAGetLastError());
  EXPECT_EQ(SOCKET_ERROR, win32::WSACleanup());
  EXPECT_EQ(WSANOTINITIALISED, win32::WSAGetLastError());
}

TEST(SocketAddressTest, ParsesAddressesAndSwapsBytes) {
  const unsigned char loopback[4] = {127, 0, 0, 1};
  std::uint32_t expected;
  std::memcpy(&expected, loopback, 4);
  EXPECT_EQ(expected, win32::inet_addr("127.0.0.1"));
  EXPECT_EQ(INADDR_NONE, win32::inet_addr("not an address"));
  const u_short port = win32::htons(11001);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&port);
  EXPECT_EQ(0x2A, bytes[0]);
  EXPECT_EQ(0xF9, bytes[1]);
  EXPECT_EQ(11001, win32::ntohs(port));
}

#ifndef _WIN32
TEST_F(SocketTest, PosixArgumentChecks) {
  SOCKET client, server;
  Pair(&client, &server);
  EXPECT_EQ(SOCKET_ERROR, win32::send(client, "x", -1, 0));
  EXPECT_EQ(WSAEINVAL, win32::WSAGetLastError());
  EXPECT_EQ(2, win32::send(client, "ab", 2, 0));
  u_long waiting = 0;
  for (int i = 0; i < 100 && waiting < 2; ++i) {
    ASSERT_EQ(0, win32::ioctlsocket(server, FIONREAD_WIN32, &waiting));
    if (waiting < 2) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(2u, waiting);
  // Files are not sockets, and closesocket leaves them open.
  const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(SOCKET_ERROR, win32::closesocket(fd));
  EXPECT_EQ(WSAENOTSOCK, win32::WSAGetLastError());
  EXPECT_EQ(0, close(fd));
  win32::closesocket(client);
  win32::closesocket(server);
}
#endif

// ---------------------------------------------------------------------------
// Text conversion

std::string ToUtf8(const std::wstring& w) {
  const int n = win32::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()),
                                           nullptr, 0, nullptr, nullptr);
  std::string s(n, '\0');
  EXPECT_EQ(n, win32::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()),
                                          &s[0], n, nullptr, nullptr));
  return s;
}

std::wstring ToWide(const std::string& s) {
  const int n = win32::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()),
                                           nullptr, 0);
  std::wstring w(n, L'\0');
  EXPECT_EQ(n, win32::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()),
                                          &w[0], n));
  return w;
}

TEST(TextTest, RoundTripsBmpAndSupplementaryCharacters) {
  const std::wstring wide = L"A\u00e9\u4e2d\U0001F600z";
  const std::string utf8 = "A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z";
  EXPECT_EQ(utf8, ToUtf8(wide));
  EXPECT_EQ(wide, ToWide(utf8));
  // A surrogate pair is one character.
  EXPECT_EQ("\xF0\x9F\x98\x80", ToUtf8(L"\xD83D\xDE00"));
}

TEST(TextTest, MinusOneLengthCountsTheTerminator) {
  char multi[8];
  wchar_t wide[8];
  EXPECT_EQ(4, win32::WideCharToMultiByte(CP_UTF8, 0, L"abc", -1, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(4, win32::WideCharToMultiByte(CP_UTF8, 0, L"abc", -1, multi, 8, nullptr, nullptr));
  EXPECT_STREQ("abc", multi);
  EXPECT_EQ(3, win32::WideCharToMultiByte(CP_UTF8, 0, L"abc", 3, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(4, win32::MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 8));
  EXPECT_STREQ(L"abc", wide);
  EXPECT_EQ(3, win32::MultiByteToWideChar(CP_UTF8, 0, "a\0b", 3, wide, 8));
  EXPECT_EQ(L'\0', wide[1]);
  EXPECT_EQ(4, win32::MultiByteToWideChar(CP_THREAD_ACP, 0, "abc", -1, wide, 8));
  EXPECT_STREQ(L"abc", wide);
}

TEST(TextTest, RejectsBadArguments) {
  char multi[8];
  wchar_t wide[8];
  EXPECT_EQ(0, win32::WideCharToMultiByte(CP_UTF8, 0, L"abc", -1, multi, 3, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), win32::GetLastError());
  EXPECT_EQ(0, win32::WideCharToMultiByte(CP_UTF8, 0, L"\u00e9", 1, multi, 1, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), win32::GetLastError());
  EXPECT_EQ(0, win32::MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 3));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), win32::GetLastError());

  EXPECT_EQ(0, win32::WideCharToMultiByte(CP_UTF8, 0, L"abc", 0, multi, 8, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), win32::GetLastError());
  EXPECT_EQ(0, win32::MultiByteToWideChar(CP_UTF8, 0, "abc", 0, wide, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), win32::GetLastError());
}

TEST(TextTest, ReplacesInvalidInput) {
  // One U+FFFD per maximal subpart of an ill-formed sequence.
  EXPECT_EQ(L"a\xFFFD" L"b", ToWide("a\xF0\x9F\x98" "b"));
  EXPECT_EQ(L"\xFFFD" L"x", ToWide("\xE2\x82" "x"));
  EXPECT_EQ(L"\xFFFD\xFFFD", ToWide("\xC0\xAF"));
  EXPECT_EQ(L"\xFFFD", ToWide("\xFF"));
  EXPECT_EQ(L"\xFFFD", ToWide("\xE2\x82"));
  // Lone surrogates.
  EXPECT_EQ("a\xEF\xBF\xBD" "b", ToUtf8(L"a\xD800" L"b"));
  EXPECT_EQ("\xEF\xBF\xBD" "b", ToUtf8(L"\xDC00" L"b"));
}

#ifndef _WIN32
// Windows documents these; Wine does not enforce them.
TEST(TextTest, PosixRejectsFlagsAndDefaultChar) {
  char multi[8];
  wchar_t wide[8];
  const DWORD kMbPrecomposed = 0x1;
  const DWORD kWcCompositeCheck = 0x200;
  EXPECT_EQ(0, win32::MultiByteToWideChar(CP_UTF8, kMbPrecomposed, "abc", -1, wide, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), win32::GetLastError());
  EXPECT_EQ(0, win32::WideCharToMultiByte(CP_UTF8, kWcCompositeCheck, L"abc", -1, multi, 8,
                                          nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), win32::GetLastError());
  EXPECT_EQ(0, win32::WideCharToMultiByte(CP_UTF8, 0, L"abc", -1, multi, 8, "?", nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), win32::GetLastError());
}

// A lead byte whose second byte is out of range is a subpart of its own.
TEST(TextTest, PosixReplacesEachMaximalSubpart) {
  EXPECT_EQ(L"\xFFFD\xFFFD\xFFFD", ToWide("\xED\xA0\x80"));
  EXPECT_EQ(L"\xFFFD\xFFFD\xFFFD", ToWide("\xE0\x80\x80"));
  EXPECT_EQ(L"\xFFFD\xFFFD\xFFFD\xFFFD", ToWide("\xF4\x90\x80\x80"));
}

TEST(TextTest, PosixWideCharIsUtf32) {
  EXPECT_EQ(1u, ToWide("\xF0\x9F\x98\x80").size());
  const wchar_t out_of_range[] = {static_cast<wchar_t>(0x110000), 0};
  EXPECT_EQ("\xEF\xBF\xBD", ToUtf8(out_of_range));
  char multi[8];
  EXPECT_EQ(3, win32::WideCharToMultiByte(CP_THREAD_ACP, 0, L"\u00e9", -1, multi, 8, nullptr,
                                          nullptr));
  EXPECT_STREQ("\xC3\xA9", multi);
}
#endif

// ---------------------------------------------------------------------------
// Formatting

int CountFormatted(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = win32::_vscwprintf(format, args);
  va_end(args);
  return n;
}

int FormatN(wchar_t* buffer, std::size_t count, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = win32::_vsnwprintf(buffer, count, format, args);
  va_end(args);
  return n;
}

int FormatShell(wchar_t* buffer, int count, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = win32::wvnsprintfW(buffer, count, format, args);
  va_end(args);
  return n;
}

std::wstring Format(const wchar_t* format, ...) {
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  const int n = win32::_vscwprintf(format, args);
  std::wstring out(n < 0 ? 0 : n + 1, L'\0');
  if (n >= 0) {
    EXPECT_EQ(n, win32::_vsnwprintf(&out[0], out.size(), format, again));
  }
  va_end(again);
  va_end(args);
  if (n < 0) return L"<error>";
  out.resize(n);
  return out;
}

TEST(FormatTest, StringsAndCharactersFollowWindows) {
  EXPECT_EQ(L"wide|narrow|h|l|w",
            Format(L"%s|%S|%hs|%ls|%ws", L"wide", "narrow", "h", L"l", L"w"));
  EXPECT_EQ(L"abcd", Format(L"%c%C%hc%lc", L'a', 'b', 'c', L'd'));
  EXPECT_EQ(L"(null) (null)",
            Format(L"%s %S", static_cast<const wchar_t*>(nullptr), static_cast<const char*>(nullptr)));
  EXPECT_EQ(L"[   abc][abc   ][ab][xy]",
            Format(L"[%6s][%-6s][%.2s][%.*S]", L"abc", L"abc", L"abc", 2, "xyz"));
  EXPECT_EQ(L"100%", Format(L"100%%"));
}

TEST(FormatTest, IntegersTakeFlagsWidthsAndLengths) {
  EXPECT_EQ(L"[   42][42   ][00042][+42][ 42]",
            Format(L"[%5d][%-5d][%05d][%+d][% d]", 42, 42, 42, 42, 42));
  EXPECT_EQ(L"ff FF 0xff 10 4000000000", Format(L"%x %X %#x %o %u", 255, 255, 255, 8, 4000000000u));
  EXPECT_EQ(L"   7|7  |005|09", Format(L"%*d|%-*d|%.3d|%.*d", 4, 7, 3, 7, 5, 2, 9));
  EXPECT_EQ(L"-9223372036854775808 18446744073709551615 -1 5",
            Format(L"%I64d %I64u %lld %I32d", static_cast<long long>(INT64_MIN),
                   static_cast<unsigned long long>(UINT64_MAX), -1LL, 5));
  EXPECT_EQ(L"1 1 -2", Format(L"%hd %hu %ld", 65537, 65537, -2L));
}

TEST(FormatTest, PointersAreZeroPaddedHex) {
  void* p = reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x12AB));
  EXPECT_EQ(std::wstring(2 * sizeof(void*) - 4, L'0') + L"12AB", Format(L"%p", p));
}

TEST(FormatTest, TruncationDiffersByFunction) {
  wchar_t buf[8];
  EXPECT_EQ(5, CountFormatted(L"abc%d", 12));

  std::fill(buf, buf + 8, L'#');
  EXPECT_EQ(3, FormatN(buf, 8, L"abc"));
  EXPECT_STREQ(L"abc", buf);
  std::fill(buf, buf + 8, L'#');
  EXPECT_EQ(3, FormatN(buf, 3, L"abc"));  // fits, but no room for NUL
  EXPECT_EQ(L"abc#", std::wstring(buf, 4));
  std::fill(buf, buf + 8, L'#');
  EXPECT_EQ(-1, FormatN(buf, 2, L"abc"));
  EXPECT_EQ(L"ab#", std::wstring(buf, 3));

  std::fill(buf, buf + 8, L'#');
  EXPECT_EQ(6, FormatShell(buf, 8, L"%04d-%s", 7, L"x"));
  EXPECT_STREQ(L"0007-x", buf);
  std::fill(buf, buf + 8, L'#');
  EXPECT_EQ(-1, FormatShell(buf, 3, L"abcdef"));
  EXPECT_STREQ(L"ab", buf);
}

#ifndef _WIN32
TEST(FormatTest, PosixChoices) {
  EXPECT_EQ(L"\u00e9\U0001F600", Format(L"%S", "\xC3\xA9\xF0\x9F\x98\x80"));
  EXPECT_EQ(L"\u00e9", Format(L"%.1S", "\xC3\xA9\xF0\x9F\x98\x80"));
  EXPECT_EQ(L"000ab", Format(L"%05s", L"ab"));
  EXPECT_EQ(L"1 7", Format(L"%hhd %zu", 257, static_cast<std::size_t>(7)));
  EXPECT_EQ(3, FormatN(nullptr, 0, L"abc"));
  wchar_t buf[4];
  EXPECT_EQ(3, FormatShell(buf, 4, L"abc"));
  EXPECT_STREQ(L"abc", buf);
  EXPECT_EQ(-1, CountFormatted(L"%n"));
}
#endif

// ---------------------------------------------------------------------------
// Time

SYSTEMTIME MakeTime(int y, int mo, int d, int h, int mi, int s, int ms) {
  SYSTEMTIME t;
  std::memset(&t, 0, sizeof(t));
  t.wYear = static_cast<WORD>(y);
  t.wMonth = static_cast<WORD>(mo);
  t.wDay = static_cast<WORD>(d);
  t.wHour = static_cast<WORD>(h);
  t.wMinute = static_cast<WORD>(mi);
  t.wSecond = static_cast<WORD>(s);
  t.wMilliseconds = static_cast<WORD>(ms);
  return t;
}

std::uint64_t Ticks(const FILETIME& ft) {
  return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

TEST(TimeTest, SystemTimeToFileTimeCountsFrom1601) {
  const std::uint64_t kDay = 864000000000ull;
  struct {
    SYSTEMTIME time;
    std::uint64_t ticks;
  } cases[] = {
      {MakeTime(2012, 11, 5, 17, 30, 9, 0), 129966102090000000ull},
      {MakeTime(2012, 11, 5, 17, 30, 9, 123), 129966102091230000ull},
      {MakeTime(1601, 1, 1, 0, 0, 0, 0), 0},
      {MakeTime(2000, 2, 29, 0, 0, 0, 0), 145790 * kDay},
      {MakeTime(30827, 12, 31, 23, 59, 59, 999), 9223149887999990000ull},
  };
  for (const auto& c : cases) {
    FILETIME ft;
    EXPECT_TRUE(win32::SystemTimeToFileTime(&c.time, &ft)) << c.time.wYear;
    EXPECT_EQ(c.ticks, Ticks(ft)) << c.time.wYear;
  }
  // The day of the week is not checked.
  SYSTEMTIME t = MakeTime(2012, 11, 5, 17, 30, 9, 0);
  t.wDayOfWeek = 6;
  FILETIME ft;
  EXPECT_TRUE(win32::SystemTimeToFileTime(&t, &ft));
  EXPECT_EQ(129966102090000000ull, Ticks(ft));
}

TEST(TimeTest, SystemTimeToFileTimeRejectsInvalidFields) {
  const SYSTEMTIME invalid[] = {
      MakeTime(2012, 0, 5, 0, 0, 0, 0),  MakeTime(2012, 13, 5, 0, 0, 0, 0),
      MakeTime(2012, 4, 31, 0, 0, 0, 0), MakeTime(2012, 1, 0, 0, 0, 0, 0),
      MakeTime(2012, 1, 1, 24, 0, 0, 0), MakeTime(2012, 1, 1, 0, 60, 0, 0),
      MakeTime(2012, 1, 1, 0, 0, 60, 0), MakeTime(2012, 1, 1, 0, 0, 0, 1000),
      MakeTime(1600, 12, 31, 0, 0, 0, 0),
#ifndef _WIN32
      // Windows rejects these too; Wine does not check leap days.
      MakeTime(2013, 2, 29, 0, 0, 0, 0), MakeTime(1900, 2, 29, 0, 0, 0, 0),
      MakeTime(30828, 1, 1, 0, 0, 0, 0),
#endif
  };
  for (const SYSTEMTIME& t : invalid) {
    FILETIME ft = {0xDEADBEEF, 0xFEEDFACE};
    EXPECT_FALSE(win32::SystemTimeToFileTime(&t, &ft))
        << t.wYear << "-" << t.wMonth << "-" << t.wDay;
    EXPECT_EQ(0xDEADBEEFu, ft.dwLowDateTime);
    EXPECT_EQ(0xFEEDFACEu, ft.dwHighDateTime);
  }
}

TEST(TimeTest, LocalTimeIsConsistent) {
  SYSTEMTIME now;
  win32::GetLocalTime(&now);
  EXPECT_GE(now.wYear, 2020);
  EXPECT_LT(now.wMilliseconds, 1000);
  FILETIME ft;
  ASSERT_TRUE(win32::SystemTimeToFileTime(&now, &ft));
  // 1601-01-01 was a Monday.
  EXPECT_EQ((Ticks(ft) / 864000000000ull + 1) % 7, now.wDayOfWeek);
}

TEST(TimeTest, DateAndTimeStrings) {
  wchar_t date[9], time[9];
  EXPECT_EQ(date, win32::_wstrdate(date));
  EXPECT_EQ(time, win32::_wstrtime(time));
  ASSERT_EQ(8u, std::wcslen(date));
  ASSERT_EQ(8u, std::wcslen(time));
  for (int i = 0; i < 8; ++i) {
    if (i == 2 || i == 5) {
      EXPECT_EQ(L'/', date[i]);
      EXPECT_EQ(L':', time[i]);
    } else {
      EXPECT_TRUE(date[i] >= L'0' && date[i] <= L'9') << i;
      EXPECT_TRUE(time[i] >= L'0' && time[i] <= L'9') << i;
    }
  }
  EXPECT_LE(std::wstring(date, 2), L"12");
  EXPECT_LE(std::wstring(time, 2), L"23");
}

// ---------------------------------------------------------------------------
// Files

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    dir_ = std::filesystem::temp_directory_path() /
           ("brevanto_platform_" + std::to_string(stamp));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::wstring PathOf(const char* name) const { return (dir_ / name).wstring(); }

  std::string Contents(const char* name) const {
    std::ifstream in(dir_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  static HANDLE Open(const std::wstring& path, DWORD disposition,
                     DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return win32::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  static void Write(HANDLE h, const char* text) {
    DWORD written = 0;
    const DWORD n = static_cast<DWORD>(std::strlen(text));
    EXPECT_TRUE(win32::WriteFile(h, text, n, &written, nullptr));
    EXPECT_EQ(n, written);
  }

  std::filesystem::path dir_;
};

TEST_F(FileTest, DispositionsReportWhatExisted) {
  const std::wstring path = PathOf("log.txt");
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(path, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), win32::GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(PathOf("missing/log.txt"), OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), win32::GetLastError());

  HANDLE h = Open(path, OPEN_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), win32::GetLastError());
  Write(h, "abc");
  EXPECT_TRUE(win32::CloseHandle(h));

  h = Open(path, OPEN_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), win32::GetLastError());
  EXPECT_TRUE(win32::CloseHandle(h));
  EXPECT_EQ("abc", Contents("log.txt"));

  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(path, CREATE_NEW));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), win32::GetLastError());

  h = Open(path, CREATE_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), win32::GetLastError());
  EXPECT_TRUE(win32::CloseHandle(h));
  EXPECT_EQ("", Contents("log.txt"));

  h = Open(PathOf("new.txt"), CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_TRUE(win32::CloseHandle(h));

  // A directory is not a file.
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(dir_.wstring(), OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), win32::GetLastError());
}

TEST_F(FileTest, SeekToEndAppends) {
  HANDLE h = Open(PathOf("a.log"), CREATE_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  Write(h, "hello");
  EXPECT_TRUE(win32::CloseHandle(h));

  h = Open(PathOf("a.log"), OPEN_EXISTING, GENERIC_WRITE);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(5u, win32::SetFilePointer(h, 0, nullptr, FILE_END));
  Write(h, " world");
  EXPECT_TRUE(win32::FlushFileBuffers(h));
  LONG high = 0;
  EXPECT_EQ(0u, win32::SetFilePointer(h, 0, &high, FILE_BEGIN));
  EXPECT_EQ(0, high);
  EXPECT_EQ(9u, win32::SetFilePointer(h, 9, nullptr, FILE_CURRENT));
  EXPECT_EQ(7u, win32::SetFilePointer(h, -2, nullptr, FILE_CURRENT));
  EXPECT_EQ(INVALID_SET_FILE_POINTER, win32::SetFilePointer(h, -8, nullptr, FILE_CURRENT));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NEGATIVE_SEEK), win32::GetLastError());
  Write(h, "W");
  EXPECT_TRUE(win32::CloseHandle(h));
  EXPECT_EQ("hello wWrld", Contents("a.log"));
}

TEST_F(FileTest, DuplicateOutlivesOriginal) {
  HANDLE h = Open(PathOf("d.log"), CREATE_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  HANDLE copy = nullptr;
  ASSERT_TRUE(win32::DuplicateHandle(win32::GetCurrentProcess(), h,
                                     win32::GetCurrentProcess(), &copy, 0, FALSE,
                                     DUPLICATE_SAME_ACCESS));
  Write(h, "one ");
  EXPECT_TRUE(win32::CloseHandle(h));
  Write(copy, "two");
  EXPECT_TRUE(win32::CloseHandle(copy));
  EXPECT_EQ("one two", Contents("d.log"));
}

TEST_F(FileTest, PathsAndDirectories) {
  HANDLE h = Open(PathOf("f"), CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  win32::CloseHandle(h);
  EXPECT_TRUE(win32::PathFileExistsW(PathOf("f").c_str()));
  EXPECT_TRUE(win32::PathFileExistsW(dir_.wstring().c_str()));
  EXPECT_FALSE(win32::PathFileExistsW(PathOf("none").c_str()));

  const std::wstring nested = (dir_ / "Logs" / "deeper").wstring();
  EXPECT_EQ(ERROR_SUCCESS, win32::SHCreateDirectory(nullptr, nested.c_str()));
  EXPECT_TRUE(std::filesystem::is_directory(dir_ / "Logs" / "deeper"));
  EXPECT_EQ(ERROR_ALREADY_EXISTS, win32::SHCreateDirectory(nullptr, nested.c_str()));
  EXPECT_EQ(ERROR_BAD_PATHNAME, win32::SHCreateDirectory(nullptr, L"relative"));
}

TEST(ModuleTest, ExecutablePathIsCutToTheBuffer) {
  wchar_t full[4096];
  const DWORD n = win32::GetModuleFileNameW(nullptr, full, 4096);
  ASSERT_GT(n, 3u);
  ASSERT_LT(n, 4096u);
  EXPECT_EQ(n, std::wcslen(full));
  EXPECT_TRUE(win32::PathFileExistsW(full));

  std::wstring exact(n + 1, L'#');
  EXPECT_EQ(n, win32::GetModuleFileNameW(nullptr, &exact[0], n + 1));
  EXPECT_STREQ(full, exact.c_str());

  std::wstring cut(n, L'#');
  EXPECT_EQ(n, win32::GetModuleFileNameW(nullptr, &cut[0], n));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), win32::GetLastError());
  EXPECT_EQ(std::wstring(full, n - 1), cut.substr(0, n - 1));
  wchar_t tiny[3] = {L'#', L'#', L'#'};
  EXPECT_EQ(3u, win32::GetModuleFileNameW(nullptr, tiny, 3));
#ifndef _WIN32
  // The cut text ends in NUL as on Windows since Vista (Wine does not).
  EXPECT_EQ(L'\0', cut[n - 1]);
  EXPECT_EQ(L'\0', tiny[2]);
#endif
}

#ifndef _WIN32
TEST_F(FileTest, PosixHandleDetails) {
  HANDLE h = Open(PathOf("p"), CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_NE(nullptr, h);
  EXPECT_TRUE(win32::WriteFile(h, "xyz", 3, nullptr, nullptr));
  EXPECT_TRUE(win32::CloseHandle(h));
  EXPECT_FALSE(win32::WriteFile(INVALID_HANDLE_VALUE, "x", 1, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), win32::GetLastError());
  // Sockets and files share the last error, as on Windows.
  EXPECT_EQ(ERROR_INVALID_HANDLE, win32::WSAGetLastError());

  h = Open(PathOf("p"), OPEN_EXISTING, GENERIC_READ);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD written = 7;
  EXPECT_FALSE(win32::WriteFile(h, "x", 1, &written, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), win32::GetLastError());
  EXPECT_EQ(0u, written);
  EXPECT_TRUE(win32::CloseHandle(h));
  EXPECT_EQ("xyz", Contents("p"));
}
#endif

}  // namespace
