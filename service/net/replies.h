// The reply messages of the service. Values are written in double quotes
// with no space around '=', unescaped, as the client's parser reads them;
// none of them may hold a double quote.
#ifndef BREVANTO_SERVICE_NET_REPLIES_H_
#define BREVANTO_SERVICE_NET_REPLIES_H_

#include <cstdint>
#include <string>

#include "service/errors.h"

// <ACK Result="success"/>
std::string success_reply();

// <ACK Result="failed" errcode="N" errtext="..."/>, errtext being `text`
// when given (it must not hold a double quote), else error_text(code).
std::string error_reply(ErrorCode code, const std::string& text = std::string());

// <ACK Result="success" ClientID="..."/>
std::string login_reply(const std::string& client_id);

// <RPT TotalBytes="N" CompleteBytes="N"/>
std::string progress_report(std::uint64_t total, std::uint64_t complete);

// <ACK Result="success" Size=".." CreateTime=".." LastModifyTime=".."
// BackupType=".." Reversion=".."/>
struct EntryInfo {
  std::uint64_t size = 0;
  std::int64_t create_time = 0;  // FILETIME counts
  std::int64_t modify_time = 0;
  int backup_type = 0;
  std::int64_t reversion = 0;
};
std::string file_info_reply(const EntryInfo& info);

#endif  // BREVANTO_SERVICE_NET_REPLIES_H_
