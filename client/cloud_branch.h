// The cloud back end of CBrevanto: each member's call into the Quorvel
// library, and the conversion of the library's records.
#ifndef BREVANTO_CLIENT_CLOUD_BRANCH_H_
#define BREVANTO_CLIENT_CLOUD_BRANCH_H_

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "client/Brevanto.h"

struct _cloud_file_record;

// Reads a date and time text "YYYY/MM/DD hh:mm:ss" (six decimal fields ended
// by '/', ' ', ':' or the end) into `file_time`, with no time-zone shift. An
// empty text, or a date the system rejects, leaves `file_time` as it was.
// Fields after the sixth are ignored; a field is read from its first 15
// characters.
void time_text_to_filetime(const wchar_t* text, FILETIME& file_time);

// A NUL-terminated UTF-16 field of at most `units` code units, as wide text.
std::wstring utf16_field(const char16_t* text, std::size_t units);

struct CloudBranch {
  static int login(CBrevanto& c, const wchar_t* user, const wchar_t* password);
  static int logout(CBrevanto& c);
  static int getfilelist(CBrevanto& c, const wchar_t* path, bool recursive,
                         std::list<_path_buffer*>& list);
  static bool is_path_exists(CBrevanto& c, const wchar_t* path);
  static int getfileinfo(CBrevanto& c, const wchar_t* path, WIN32_FILE_ATTRIBUTE_DATA& data);
  static int get_spaceinfo(CBrevanto& c, std::int64_t& used_bytes, std::int64_t& free_bytes,
                           std::uint32_t which);
  static int removefile(CBrevanto& c, const wchar_t* path);
  static int removedir(CBrevanto& c, const wchar_t* path);
  static int adddir(CBrevanto& c, const wchar_t* path);
  static int addfile(CBrevanto& c, const wchar_t* local_path, const wchar_t* storage_path,
                     BrevantoProgressCallback callback, void* context);
  static int downloadfile(CBrevanto& c, const wchar_t* local_path, const wchar_t* storage_path,
                          bool flag, BrevantoProgressCallback callback, void* context);
  static int update_plan(CBrevanto& c);
  static int get_creditcard_state(CBrevanto& c);
};

#endif  // BREVANTO_CLIENT_CLOUD_BRANCH_H_
