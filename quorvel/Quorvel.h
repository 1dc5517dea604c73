// Quorvel: the cloud storage library that a Brevanto client of interface
// type 1 calls directly.
//
// This is a stand-in that keeps its "cloud" in a local folder, so the cloud
// back end can be used and tested anywhere. See the README of this folder.
#ifndef QUORVEL_QUORVEL_H_
#define QUORVEL_QUORVEL_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(QUORVEL_STATIC)
#define QUORVEL_API
#elif defined(_WIN32)
#ifdef QUORVEL_BUILDING_LIBRARY
#define QUORVEL_API __declspec(dllexport)
#else
#define QUORVEL_API __declspec(dllimport)
#endif
#else
#define QUORVEL_API __attribute__((visibility("default")))
#endif

// The C calling convention, for the library's functions and for the progress
// function it calls back. It is already the default of MinGW and MSVC; it is
// written out so that a 32-bit host compiled with another default (/Gz, /Gr)
// still calls the DLL correctly. 64-bit Windows has one convention only.
#ifdef _WIN32
#define QUORVEL_CALL __cdecl
#else
#define QUORVEL_CALL
#endif

// One entry as the library reports it: 4408 bytes at fixed offsets. Texts
// are UTF-16 (little-endian on every supported platform), NUL-terminated.
struct _cloud_file_record {
  char16_t directory[1024];   //    0: the entry's directory, ending in '\'
  char16_t name[1024];        // 2048: the entry's name
  char16_t create_time[32];   // 4096: "YYYY/MM/DD hh:mm:ss"
  char16_t modify_time[64];   // 4160: "YYYY/MM/DD hh:mm:ss"
  std::uint64_t size;         // 4288: size in bytes
  std::uint64_t reserved1;    // 4296
  std::uint8_t kind;          // 4304: 0 = directory, any other value = file
  std::uint8_t reserved2[103];
};
static_assert(sizeof(_cloud_file_record) == 4408, "record size");
static_assert(offsetof(_cloud_file_record, name) == 2048, "name offset");
static_assert(offsetof(_cloud_file_record, create_time) == 4096, "create_time offset");
static_assert(offsetof(_cloud_file_record, modify_time) == 4160, "modify_time offset");
static_assert(offsetof(_cloud_file_record, size) == 4288, "size offset");
static_assert(offsetof(_cloud_file_record, kind) == 4304, "kind offset");

// Called during an upload or download with the total byte count first and
// the completed count second; a non-zero return asks the library to stop.
typedef long(QUORVEL_CALL* QV_ProgressFunc)(std::int64_t total, std::int64_t completed,
                                            void* context);

// Result codes of the stand-in. 0 is success; every failure is negative.
enum QuorvelResult {
  QV_OK = 0,
  QV_E_NOT_LOGGED_IN = -1001,     // no successful QV_Login yet
  QV_E_BAD_LOGIN = -1002,         // user or password does not match the account
  QV_E_NOT_FOUND = -1003,         // no such file or directory (or parent directory)
  QV_E_EXISTS = -1004,            // the target exists already
  QV_E_INVALID_PATH = -1005,      // malformed, leaving the account's tree, meeting a
                                  // link, or too long for the record's texts
  QV_E_QUOTA = -1006,             // the upload would exceed the plan's quota
  QV_E_CANCELLED = -1007,         // the progress function asked to stop
  QV_E_IO = -1008,                // reading or writing a file failed
  QV_E_NOT_EMPTY = -1009,         // reserved
  QV_E_TOP_PLAN = -1010,          // QV_UpgradeToNextPlan on the largest plan
  QV_E_INVALID_ARGUMENT = -1011,  // a null output pointer, or a flag other than 0
  QV_E_WRONG_KIND = -1012,        // a directory where a file is needed, or the reverse
};

// Results of QV_CheckUserCCInfo after a login (a failure is a QV_E_* code).
enum QuorvelCardState {
  QV_CARD_VALID = 0,    // a valid card is on file (the stand-in's default)
  QV_CARD_NONE = 1,     // no card on file
  QV_CARD_EXPIRED = 2,  // the card on file has expired
};

// The functions carry C linkage: the DLL exports, and its users import, the
// plain names QV_Login, QV_Logout, ... and no C++-decorated ones.
extern "C" {

// Storage paths are rooted and backslash-separated (\docs\a.txt; a lone
// backslash is the root; one trailing backslash is ignored). Every call but
// QV_Login fails with QV_E_NOT_LOGGED_IN until a QV_Login of this process
// has succeeded.

// Opens a session on the root folder named by QUORVEL_ROOT (read now), or
// the default data folder. On a root without an account, creates the account
// with this user and password; otherwise both must match (QV_E_BAD_LOGIN).
// A failed login ends any earlier session.
QUORVEL_API int QUORVEL_CALL QV_Login(const wchar_t* user, const wchar_t* password);
// Ends the session.
QUORVEL_API int QUORVEL_CALL QV_Logout();
// Replaces `*records` with one record per entry of `directory` (with the
// entries of all subdirectories when `recursive`): a directory before its
// content, siblings ordered by name in UTF-16 code unit order.
QUORVEL_API int QUORVEL_CALL QV_GetFileList(const wchar_t* directory, bool recursive,
                                            std::vector<_cloud_file_record>* records);
// Fills `*record` for one entry; the root gives directory "\" and name "".
QUORVEL_API int QUORVEL_CALL QV_GetFileInfo(const wchar_t* path, _cloud_file_record* record);
// The plan's quota less the used space, never below 0; or a QV_E_* code.
QUORVEL_API std::int64_t QUORVEL_CALL QV_GetFreeSpace();
// The bytes of all stored files; or a QV_E_* code.
QUORVEL_API std::int64_t QUORVEL_CALL QV_GetUsedSpace();
// Removes a file (QV_E_WRONG_KIND for a directory).
QUORVEL_API int QUORVEL_CALL QV_DeleteFile(const wchar_t* path);
// Removes a directory with all its content (not the root).
QUORVEL_API int QUORVEL_CALL QV_RemoveDir(const wchar_t* path);
// Creates a directory and any missing parents. QV_OK when it exists already;
// QV_E_EXISTS when a file holds its place or a parent's.
QUORVEL_API int QUORVEL_CALL QV_CreateDir(const wchar_t* path);
// Uploads `local_path` to `storage_path`, whose directory must exist; `flags`
// must be 0. An existing storage file is replaced atomically. QV_E_QUOTA,
// with nothing stored, when the result would exceed the plan's quota.
QUORVEL_API int QUORVEL_CALL QV_UplaodFile(const wchar_t* storage_path,
                                           const wchar_t* local_path, int flags,
                                           QV_ProgressFunc progress, void* context);
// Downloads `storage_path` to `local_path`, whose directory must exist;
// `overwrite` allows replacing an existing local file (else QV_E_EXISTS).
// Both transfers report progress after every 1 MiB chunk, and once at 0
// before the first; a cancelled or failed transfer leaves no file behind.
QUORVEL_API int QUORVEL_CALL QV_DownlaodFile(const wchar_t* storage_path,
                                             const wchar_t* local_path, bool overwrite,
                                             QV_ProgressFunc progress, void* context);
// Moves the account to the next plan (quota x4 per step, 100 MiB to 6400 MiB).
QUORVEL_API int QUORVEL_CALL QV_UpgradeToNextPlan();
// One of QuorvelCardState, as kept in the account.
QUORVEL_API int QUORVEL_CALL QV_CheckUserCCInfo();

}  // extern "C"

#endif  // QUORVEL_QUORVEL_H_
