// The requests that read or change the storage tree without moving file
// contents: listing, file information, directory creation and removal.

#include <algorithm>

#include "client/Brevanto.h"
#include "protocol/listing_entries.h"
#include "protocol/service_connection.h"
#include "util/ascii.h"
#include "util/decimal.h"
#include "util/text.h"

namespace {

// Stores a 64-bit value, bits unchanged, as two 32-bit halves.
void split64(std::int64_t value, DWORD& high, DWORD& low) {
  const auto bits = static_cast<std::uint64_t>(value);
  high = static_cast<DWORD>(bits >> 32);
  low = static_cast<DWORD>(bits & 0xFFFFFFFFu);
}

}  // namespace

int CServiceConnection::getfilelist(const wchar_t* path, bool recursive,
                                    std::list<_path_buffer*>& list) {
  int result = 0;
  CTraceScope scope(trace_file,
                    format_wide(L"getfilelist(%s, %d, callback_func, PVOID)", path, recursive ? 1 : 0),
                    result);
  if (has_double_quote(path)) return result = -1;
  const std::string request =
      format_narrow("<GetFileList StartDir=\"%s\" SearchSubDirs=\"%s\" ClientId=\"%s\"/>",
                    to_utf8(path).c_str(), recursive ? "true" : "false", client_id.c_str());

  result = go_online(host.c_str(), port);
  if (result != 0) return result;
  result = send_request(request);
  if (result != 0) return result;

  clear_reply(reply);
  CListingEntries entries;
  for (;;) {
    switch (read_message()) {
      case CMessageReader::kFailed:
        return result = reader_.error();
      case CMessageReader::kClosed:  // a cut-short listing is never a success
      case CMessageReader::kTooLarge:
        return result = -1;
      case CMessageReader::kMessage:
        break;
    }
    if (parse_reply(reply, reader_.text()) != 0) {
      // A text without a tag: skipped while more messages are due.
      if (reply.msg_type == REPLY_RPT) continue;
      // The protocol reads one receive as one text: its byte count.
      return result = static_cast<int>(
          std::min<std::size_t>(reader_.size(), CMessageReader::kReceiveBytes));
    }
    if (check_result() != 0) return result = -3;
    entries.append(reply, list);
    if (reply.msg_type != REPLY_RPT) return result = 0;
    clear_reply(reply);  // one message at a time
    // Its entries came with the report; the final reply adds its status.
    if (read_joined_final()) return result = check_result();
  }
}

int CServiceConnection::getfileinfo(const wchar_t* path, WIN32_FILE_ATTRIBUTE_DATA& data,
                                    int& backup_type, int& reversion) {
  int result = 0;
  CTraceScope scope(trace_file,
                    format_wide(L"getfileinfo(%s, ATTR_DATA, %d, %d)", path, backup_type, reversion),
                    result);
  if (path == nullptr || *path == L'\0' || has_double_quote(path)) return result = -1;
  data = WIN32_FILE_ATTRIBUTE_DATA();
  const std::string request = format_narrow("<GetFileInfo PathName=\"%s\" ClientID=\"%s\"/>",
                                            to_utf8(path).c_str(), client_id.c_str());
  result = exchange(request);
  if (result != 0) return result;

  // A reply without Result counts as success with nothing filled in.
  const _reply_attribute* status = find_attribute(reply, "Result");
  if (status == nullptr) return result;
  if (!ascii_iequals(status->value, "success")) {
    set_reply_error();
    return result = -3;
  }
  if (const _reply_attribute* a = find_attribute(reply, "Size")) {
    split64(decimal_to_int64(a->value.c_str()), data.nFileSizeHigh, data.nFileSizeLow);
  }
  if (const _reply_attribute* a = find_attribute(reply, "CreateTime")) {
    split64(decimal_to_int64(a->value.c_str()), data.ftCreationTime.dwHighDateTime,
            data.ftCreationTime.dwLowDateTime);
  }
  if (const _reply_attribute* a = find_attribute(reply, "LastModifyTime")) {
    split64(decimal_to_int64(a->value.c_str()), data.ftLastWriteTime.dwHighDateTime,
            data.ftLastWriteTime.dwLowDateTime);
  }
  if (const _reply_attribute* a = find_attribute(reply, "BackupType")) {
    backup_type = decimal_to_int32(a->value.c_str());
  }
  if (const _reply_attribute* a = find_attribute(reply, "Reversion")) {
    reversion = decimal_to_int32(a->value.c_str());
  }
  return result;
}

int CServiceConnection::adddir(const wchar_t* path) {
  return path_request(L"adddir(%s)", path, "<AddDir PathName=\"%s\" ClientID=\"%s\" />", true);
}

int CServiceConnection::removedir(const wchar_t* path) {
  // There is no element of its own for directories: RemoveFile serves both.
  return path_request(L"removedir(%s)", path, "<RemoveFile PathName=\"%s\" ClientID=\"%s\"/>",
                      true);
}

int CServiceConnection::removefile(const wchar_t* path) {
  return path_request(L"removefile(%s)", path, "<RemoveFile PathName=\"%s\" ClientID=\"%s\"/>",
                      false);
}

int CServiceConnection::path_request(const wchar_t* operation_format, const wchar_t* path,
                                     const char* request_format, bool strip_trailing_backslash) {
  int result = 0;
  CTraceScope scope(trace_file, format_wide(operation_format, path), result);
  if (path == nullptr || *path == L'\0' || has_double_quote(path)) return result = -1;
  std::string value = to_utf8(path);
  // 0x5C occurs in no multi-byte UTF-8 sequence, so this is the last character.
  if (strip_trailing_backslash && value.back() == '\\') value.pop_back();
  result = exchange(format_narrow(request_format, value.c_str(), client_id.c_str()));
  if (result != 0) return result;
  return result = check_result();
}
