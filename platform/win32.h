// The Win32 and Winsock calls the library is written against.
//
// Library code calls them as win32::Name(...). On Windows these are the real
// functions; elsewhere the platform layer implements exactly these calls over
// POSIX, keeping the behaviour a Windows caller can observe (Winsock error
// codes, UTF-16LE files, Windows printf conventions for wide formats).
#ifndef BREVANTO_PLATFORM_WIN32_H_
#define BREVANTO_PLATFORM_WIN32_H_

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#ifdef _WIN32

#include <winsock2.h>
#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <wchar.h>

namespace win32 {
// Sockets.
using ::WSAStartup;
using ::WSACleanup;
using ::WSAGetLastError;
using ::socket;
using ::connect;
using ::bind;
using ::listen;
using ::accept;
using ::setsockopt;
using ::send;
using ::recv;
using ::shutdown;
using ::closesocket;
using ::ioctlsocket;
using ::WSAPoll;
using ::inet_addr;
using ::htons;
using ::ntohs;
using ::getsockname;
// Files and processes.
using ::CreateFileW;
using ::WriteFile;
using ::SetFilePointer;
using ::FlushFileBuffers;
using ::CloseHandle;
using ::DuplicateHandle;
using ::GetCurrentProcess;
using ::GetLastError;
using ::PathFileExistsW;
using ::GetModuleFileNameW;
using ::SHCreateDirectory;
// Time.
using ::GetLocalTime;
using ::SystemTimeToFileTime;
using ::_wstrdate;
using ::_wstrtime;
// Text.
using ::WideCharToMultiByte;
using ::MultiByteToWideChar;
using ::_vscwprintf;
using ::_vsnwprintf;
using ::wvnsprintfW;
}  // namespace win32

// The path separator of local file names.
#define BREVANTO_PATH_SEPARATOR L'\\'

#else  // !_WIN32

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <sys/socket.h>

#include "platform/win32_types.h"

// glibc makes htons and ntohs macros when optimizing, which would rename
// win32::htons and win32::ntohs; the functions remain.
#undef htons
#undef ntohs

typedef int SOCKET;
typedef struct pollfd WSAPOLLFD;
typedef unsigned short u_short;
typedef unsigned long u_long;
typedef wchar_t WCHAR;
typedef const wchar_t* LPCWSTR;
typedef wchar_t* LPWSTR;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef void* HMODULE;
typedef unsigned int UINT;

struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
  char szDescription[257];
  char szSystemStatus[129];
};
struct SECURITY_ATTRIBUTES;
struct OVERLAPPED;

#define INVALID_SOCKET (-1)
#define SOCKET_ERROR (-1)
#define SD_RECEIVE 0
#define SD_SEND 1
#define SD_BOTH 2
// FIONREAD is the value of <sys/ioctl.h>; ioctlsocket takes either.
#define FIONREAD_WIN32 0x4004667F

// Winsock error codes that the POSIX layer reports through WSAGetLastError.
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEDESTADDRREQ 10039
#define WSAEMSGSIZE 10040
#define WSAEPROTOTYPE 10041
#define WSAENOPROTOOPT 10042
#define WSAEPROTONOSUPPORT 10043
#define WSAESOCKTNOSUPPORT 10044
#define WSAEOPNOTSUPP 10045
#define WSAEPFNOSUPPORT 10046
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAENETRESET 10052
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAELOOP 10062
#define WSAENAMETOOLONG 10063
#define WSAEHOSTDOWN 10064
#define WSAEHOSTUNREACH 10065
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093

// Windows system error codes reported through GetLastError.
#define ERROR_SUCCESS 0
#define ERROR_INVALID_FUNCTION 1
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_WRITE_FAULT 29
#define ERROR_GEN_FAILURE 31
#define ERROR_HANDLE_DISK_FULL 39
#define ERROR_NOT_SUPPORTED 50
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PARAMETER 87
#define ERROR_DISK_FULL 112
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_MOD_NOT_FOUND 126
#define ERROR_NEGATIVE_SEEK 131
#define ERROR_BAD_PATHNAME 161
#define ERROR_ALREADY_EXISTS 183
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_INVALID_FLAGS 1004
#define ERROR_NO_UNICODE_TRANSLATION 1113

// CreateFileW.
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
// Write access that only ever appends: every write lands at the file's end,
// whoever else writes to it.
#define FILE_APPEND_DATA 0x00000004u
#define SYNCHRONIZE 0x00100000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu
#define DUPLICATE_CLOSE_SOURCE 0x00000001u
#define DUPLICATE_SAME_ACCESS 0x00000002u
#define MAX_PATH 260

// Code pages.
#define CP_ACP 0
#define CP_THREAD_ACP 3
#define CP_UTF8 65001

namespace win32 {

// Sockets. Errors are kept per thread and read with WSAGetLastError, mapped
// to the Winsock codes; as on Windows it reads the value GetLastError reads.
// Socket calls fail with WSANOTINITIALISED outside WSAStartup/WSACleanup.
// send never raises SIGPIPE.
int WSAStartup(WORD version, WSADATA* data);
int WSACleanup();
int WSAGetLastError();
SOCKET socket(int af, int type, int protocol);
int connect(SOCKET s, const sockaddr* name, int namelen);
int bind(SOCKET s, const sockaddr* name, int namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int getsockname(SOCKET s, sockaddr* name, int* namelen);
int send(SOCKET s, const char* buf, int len, int flags);
int recv(SOCKET s, char* buf, int len, int flags);
int shutdown(SOCKET s, int how);
int closesocket(SOCKET s);
int ioctlsocket(SOCKET s, long cmd, u_long* argp);
// Waits until a socket is ready or `timeout_ms` runs out (-1: no limit); the
// number of ready sockets, 0 on time-out.
int WSAPoll(WSAPOLLFD* fds, unsigned long count, int timeout_ms);
unsigned long inet_addr(const char* cp);
u_short htons(u_short hostshort);
u_short ntohs(u_short netshort);

// Files. Wide paths are converted to UTF-8 file names. A HANDLE holds a
// descriptor plus one; GetCurrentProcess is (HANDLE)-1 as on Windows.
HANDLE CreateFileW(LPCWSTR file_name, DWORD desired_access, DWORD share_mode,
                   SECURITY_ATTRIBUTES* security, DWORD creation_disposition,
                   DWORD flags_and_attributes, HANDLE template_file);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytes_to_write,
               DWORD* bytes_written, OVERLAPPED* overlapped);
DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distance_high, DWORD move_method);
BOOL FlushFileBuffers(HANDLE file);
BOOL CloseHandle(HANDLE object);
BOOL DuplicateHandle(HANDLE source_process, HANDLE source, HANDLE target_process,
                     HANDLE* target, DWORD desired_access, BOOL inherit, DWORD options);
HANDLE GetCurrentProcess();
DWORD GetLastError();
BOOL PathFileExistsW(LPCWSTR path);
// Writes the executable's path; returns its length, or `size` with the text
// cut and ERROR_INSUFFICIENT_BUFFER when it does not fit.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size);
// Creates the directory and its missing parents; returns a system error code
// (ERROR_ALREADY_EXISTS if it existed, ERROR_BAD_PATHNAME for a relative path).
int SHCreateDirectory(HWND owner, LPCWSTR path);

// Time.
void GetLocalTime(SYSTEMTIME* time);
BOOL SystemTimeToFileTime(const SYSTEMTIME* system_time, FILETIME* file_time);
wchar_t* _wstrdate(wchar_t* buffer);  // mm/dd/yy, buffer of at least 9
wchar_t* _wstrtime(wchar_t* buffer);  // hh:mm:ss, buffer of at least 9

// Text. wchar_t is UTF-32 here; code pages CP_UTF8 and CP_THREAD_ACP (which
// is UTF-8 on this platform) are supported.
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_len,
                        LPSTR multi, int multi_len, LPCSTR default_char,
                        BOOL* used_default_char);
int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR multi, int multi_len,
                        LPWSTR wide, int wide_len);
// Wide printf with the Windows meaning of the conversions: %s takes a wide
// string, %S a narrow (UTF-8) one; %hs and %ls are narrow and wide always.
int _vscwprintf(const wchar_t* format, va_list args);
int _vsnwprintf(wchar_t* buffer, std::size_t count, const wchar_t* format, va_list args);
int wvnsprintfW(LPWSTR buffer, int count, LPCWSTR format, va_list args);

}  // namespace win32

#define BREVANTO_PATH_SEPARATOR L'/'

#endif  // _WIN32

#endif  // BREVANTO_PLATFORM_WIN32_H_
