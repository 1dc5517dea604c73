// Brevanto: the client library through which a backup application (the host)
// reaches its online storage.
//
// A CBrevanto is bound at construction to one back end:
//   INTERFACE_LOCAL_SERVICE (0)  the local service on 127.0.0.1:11001;
//   INTERFACE_CLOUD_LIBRARY (1)  the Quorvel cloud storage library.
// Texts are NUL-terminated wide strings. Operations return int status codes:
//    0  success
//   -1  a null or empty path or host, a text holding a double quote, or the
//       service closed the connection
//    1  the service's reply held no tag
//   -2  the operation is not supported by this back end
//   -3  the service reported a failure: error_code() and error_msg() tell
//   >0  a Windows Sockets error code (10061: nothing listens, ...)
// The cloud back end returns the library's own codes unchanged. Judge each
// call by its status: error_code() and error_msg() keep the last failure the
// service reported until another one replaces it, so they explain a -3 and
// say nothing about later calls that succeed.
//
// With the local service back end the library writes a trace log,
// Logs/Brevanto.log (UTF-16LE) beside the executable (on Linux, where that
// folder cannot be written, $XDG_STATE_HOME/brevanto/Logs/ or
// $BREVANTO_LOG_DIR), one line per event, ending in LF:
//   "mm/dd/yy hh:mm:ss: text.\n"   e.g. "12/07/26 17:27:11: recv()."
// The cloud back end writes ClogEx lines (below) to the same file.
//
// One client must not be used by two threads at once; cancel_op() is the one
// member meant to be called while another operation runs.
#ifndef BREVANTO_CLIENT_BREVANTO_H_
#define BREVANTO_CLIENT_BREVANTO_H_

#include <atomic>
#include <cstdint>
#include <list>
#include <string>

// Only Win32 types are needed here (HANDLE, WIN32_FILE_ATTRIBUTE_DATA), so
// this header takes <windows.h> and no networking header: a host may include
// <windows.h>, or <winsock2.h> and then <windows.h>, before it or not at all.
#ifdef _WIN32
#include <windows.h>
#else
#include "../platform/win32_types.h"
#endif

#if defined(BREVANTO_STATIC)
#define BREVANTO_API
#elif defined(_WIN32)
#ifdef BREVANTO_BUILDING_LIBRARY
#define BREVANTO_API __declspec(dllexport)
#else
#define BREVANTO_API __declspec(dllimport)
#endif
#else
#define BREVANTO_API __attribute__((visibility("default")))
#endif

// The C calling convention of the progress functions, written out so that a
// 32-bit host compiled with another default (/Gz, /Gr) still agrees with the
// library. 64-bit Windows has one convention only.
#ifdef _WIN32
#define BREVANTO_CDECL __cdecl
#else
#define BREVANTO_CDECL
#endif

class CServiceConnection;
struct CloudBranch;

enum OnlineInterfaceType : std::int32_t {
  INTERFACE_LOCAL_SERVICE = 0,
  INTERFACE_CLOUD_LIBRARY = 1,
};

// One entry of a file list: the parent directory as the back end reports it
// immediately followed by the name.
struct _path_buffer {
  std::int32_t is_dir = 0;  // 1 for a directory, 0 for a file
  std::wstring full_path;
};

// Progress of a transfer: bytes completed, bytes in all, the host's context.
// Its return value is ignored by the local service back end.
typedef int(BREVANTO_CDECL* BrevantoProgressCallback)(std::uint64_t completed,
                                                      std::uint64_t total, void* context);

// Appends time-stamped lines to a UTF-16LE text file:
//   "[yyyy/mm/dd hh:mm:ss:cc] : message \r\n"  (cc: hundredths of a second)
// e.g. "[2026/12/07 17:27:11:42] : Call QV_GetFileInfo(\docs\a.txt)\n \r\n"
// from the cloud back end, whose messages carry their own "\n". The trace
// lines of the local service back end in the same log file have another
// form (see the top of this file).
// MSVC warns (C4251) that the standard library members of the exported
// classes have no DLL interface; host and library share one C++ runtime (see
// README), so the warning does not apply.
#ifdef _MSC_VER
#pragma warning(push)
#pragma warning(disable : 4251)
#endif

class BREVANTO_API ClogEx {
 public:
  ClogEx();
  ~ClogEx();
  // Both copy and assignment duplicate the other object's file handle, so
  // each object closes only its own.
  ClogEx(const ClogEx& other);
  ClogEx& operator=(const ClogEx& other);

  // Opens (or creates) the file for appending; true when it is open. A file
  // held before is closed first.
  bool create(const wchar_t* file_name);
  void close();
  // printf-style; %s takes a wide string. Messages are cut at 4093 UTF-16
  // units, never inside a surrogate pair. Does nothing without a file;
  // write failures are ignored.
  void write(const wchar_t* format, ...);

  HANDLE handle;
};

class BREVANTO_API CBrevanto {
 public:
  explicit CBrevanto(OnlineInterfaceType interface_type);
  ~CBrevanto();
  CBrevanto(const CBrevanto&) = delete;
  CBrevanto& operator=(const CBrevanto&) = delete;

  int login(const wchar_t* user, const wchar_t* password, const wchar_t* project_name,
            const wchar_t* client_type);
  int logout();

  // Appends the entries of a remote directory to `list`, recursively when
  // asked. The entries belong to the host, which gives them back with
  // releasefilelist.
  int getfilelist(const wchar_t* path, bool recursive, std::list<_path_buffer*>& list);
  // Frees every entry of a list filled by getfilelist and empties it.
  void releasefilelist(std::list<_path_buffer*>& list);

  bool is_path_exists(const wchar_t* path);
  // Size and times of a remote entry into `data`; the local service back end
  // also reports its backup type and reversion.
  int getfileinfo(const wchar_t* path, WIN32_FILE_ATTRIBUTE_DATA& data, int& backup_type,
                  int& reversion);

  // Free and used space: bit 1 of `which` asks for free_bytes, bit 2 for
  // used_bytes.
  int get_spaceinfo(std::int64_t& used_bytes, std::int64_t& free_bytes, std::uint32_t which);
#ifdef BREVANTO_DEFINES_SPACEINFO_SPELLINGS
  // The same member under the other spellings of its types that hosts write
  // in their own declarations, exported so that such hosts link: `which` as
  // DWORD (unsigned long) on Windows, the counts as long long where int64_t
  // is long. Only the library's own definition sees them; in a host they
  // would make a call with a literal `which` ambiguous.
#if defined(_WIN32)
  int get_spaceinfo(std::int64_t& used_bytes, std::int64_t& free_bytes, unsigned long which);
#elif defined(__linux__) && defined(__LP64__)
  int get_spaceinfo(long long& used_bytes, long long& free_bytes, std::uint32_t which);
#endif
#endif

  int removefile(const wchar_t* path);
  int removedir(const wchar_t* path);
  int adddir(const wchar_t* path);

  // Uploads a local file to a storage path; updatefile replaces a stored
  // file with a newer local version; downloadfile fetches a stored file to a
  // local path (`flag` is passed to the cloud library only). `callback` may
  // be null. The local service back end reports every progress message.
  //
  // The local path is opened by whoever moves the bytes, in its own syntax.
  // Local service back end: the service opens it on its own machine, so it
  // is a path as the service writes it (for the reference service on Linux,
  // an absolute POSIX path that the client's user may reach, such as
  // "/home/ann/report.pdf", whatever system the host runs on, and never
  // inside the service's storage root; an administrator may narrow it to
  // --local-root folders); a path it refuses gives -3 with error_code() 6. Cloud back end: the library opens
  // it in this process, so it is the host's own path ("C:\data\report.pdf").
  int addfile(const wchar_t* local_path, const wchar_t* storage_path,
              BrevantoProgressCallback callback, void* context);
  int updatefile(const wchar_t* local_path, const wchar_t* storage_path,
                 BrevantoProgressCallback callback, void* context);
  int downloadfile(const wchar_t* local_path, const wchar_t* storage_path, bool flag,
                   BrevantoProgressCallback callback, void* context);

  int update_plan();
  int get_creditcard_state();

  // The error number and text of the last failure the service reported (local
  // service back end); for the cloud back end, the cancel flag and "".
  // A success leaves them as they were: read them after a -3, not to find
  // out whether a call failed. error_msg() stays valid until the next call
  // that changes it or the client's destruction.
  int error_code() const;
  const wchar_t* error_msg() const;

  // Asks a running cloud upload or download to stop at its next progress
  // report. Safe to call from another thread or from the progress callback.
  void cancel_op();

 private:
  friend struct CloudBranch;  // the Quorvel back end's side of each member

  // The progress function the cloud library calls during a transfer, with
  // the total first and the completed count second; returns cancel_flag.
  static long BREVANTO_CDECL QV_Progress(std::int64_t total, std::int64_t completed, void* context);

  CServiceConnection* service;
  OnlineInterfaceType interface_type;
  BrevantoProgressCallback progress_cb;
  void* progress_ctx;
  std::atomic<std::int32_t> cancel_flag;
  ClogEx log;
};

#ifdef _MSC_VER
#pragma warning(pop)
#endif

#endif  // BREVANTO_CLIENT_BREVANTO_H_
