#include "service/net/replies.h"

#include <cinttypes>

#include "util/text.h"

std::string success_reply() { return "<ACK Result=\"success\"/>"; }

std::string error_reply(ErrorCode code, const std::string& text) {
  return format_narrow("<ACK Result=\"failed\" errcode=\"%d\" errtext=\"%s\"/>",
                       static_cast<int>(code), text.empty() ? error_text(code) : text.c_str());
}

std::string login_reply(const std::string& client_id) {
  return "<ACK Result=\"success\" ClientID=\"" + client_id + "\"/>";
}

std::string progress_report(std::uint64_t total, std::uint64_t complete) {
  return format_narrow("<RPT TotalBytes=\"%" PRIu64 "\" CompleteBytes=\"%" PRIu64 "\"/>", total,
                       complete);
}

std::string file_info_reply(const EntryInfo& info) {
  return format_narrow(
      "<ACK Result=\"success\" Size=\"%" PRIu64 "\" CreateTime=\"%" PRId64
      "\" LastModifyTime=\"%" PRId64 "\" BackupType=\"%d\" Reversion=\"%" PRId64 "\"/>",
      info.size, info.create_time, info.modify_time, info.backup_type, info.reversion);
}
