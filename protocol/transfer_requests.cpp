// Uploads, updates and downloads: one request, then progress reports until
// the service's final reply.
#include "protocol/service_connection.h"
#include "util/decimal.h"
#include "util/text.h"

namespace {

bool is_empty(const wchar_t* text) { return text == nullptr || *text == L'\0'; }

// A count of a progress report: read as a signed decimal, passed on as the
// unsigned value with the same bits; a missing attribute gives 0.
std::uint64_t count_of(const _reply_document& reply, const char* name) {
  const _reply_attribute* attribute = find_attribute(reply, name);
  return attribute ? static_cast<std::uint64_t>(decimal_to_int64(attribute->value.c_str())) : 0;
}

}  // namespace

int CServiceConnection::addfile(const wchar_t* local_path, const wchar_t* storage_path,
                                ProgressCallback callback, void* context) {
  return transfer(L"addfile",
                  "<AddFile PathName=\"%s\" LocalPathName=\"%s\" ClientID=\"%s\"/>", local_path,
                  storage_path, callback, context);
}

int CServiceConnection::updatefile(const wchar_t* local_path, const wchar_t* storage_path,
                                   ProgressCallback callback, void* context) {
  return transfer(L"updatefile",
                  "<UpdateFile PathName=\"%s\" LocalPathName=\"%s\" ClientID=\"%s\"/>", local_path,
                  storage_path, callback, context);
}

int CServiceConnection::downloadfile(const wchar_t* local_path, const wchar_t* storage_path,
                                     ProgressCallback callback, void* context) {
  return transfer(L"downloadfile",
                  "<DownloadFile PathName=\"%s\" LocalPathName=\"%s\" ClientID=\"%s\"/>",
                  local_path, storage_path, callback, context);
}

int CServiceConnection::transfer(const wchar_t* operation, const char* request_format,
                                 const wchar_t* local_path, const wchar_t* storage_path,
                                 ProgressCallback callback, void* context) {
  int result = 0;
  // "addfile(<local>, <storage>, callback_func, PVOID)", made without a
  // printf of wide strings: it is made for every file.
  const auto shown = [](const wchar_t* text) { return text != nullptr ? text : L"(null)"; };
  CTraceScope scope(trace_file,
                    std::wstring(operation) + L'(' + shown(local_path) + L", " +
                        shown(storage_path) + L", callback_func, PVOID)",
                    result);
  if (is_empty(local_path) || is_empty(storage_path) || has_double_quote(local_path) ||
      has_double_quote(storage_path)) {
    return result = -1;
  }
  // The storage path comes first in the request, the local path second.
  const std::string request = format_narrow(request_format, to_utf8(storage_path).c_str(),
                                            to_utf8(local_path).c_str(), client_id.c_str());
  result = send_request(request);
  if (result != 0) return result;

  clear_reply(reply);
  for (;;) {
    switch (read_message()) {
      case CMessageReader::kFailed:
        return result = reader_.error();
      case CMessageReader::kClosed:  // an unfinished transfer is never a success
      case CMessageReader::kTooLarge:
        return result = -1;
      case CMessageReader::kMessage:
        break;
    }
    if (parse_reply(reply, reader_.text()) != 0) continue;  // no tag: skipped
    if (reply.msg_type != REPLY_RPT) return result = check_result();
    const std::uint64_t total = count_of(reply, "TotalBytes");
    const std::uint64_t completed = count_of(reply, "CompleteBytes");
    if (callback != nullptr) callback(completed, total, context);
    clear_reply(reply);
    if (read_joined_final()) return result = check_result();
  }
}
