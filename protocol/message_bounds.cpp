#include "protocol/message_bounds.h"

#include <cstring>

#include "util/ascii.h"

namespace message_bounds {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The request elements of the protocol.
constexpr std::string_view kRequestNames[] = {
    "login",   "logout",     "GetFileList", "GetFileInfo",  "AddDir",
    "AddFile", "UpdateFile", "RemoveFile",  "DownloadFile",
};

// Whether `bytes` from `lt` (a '<') opens an element named `name`.
bool opens(std::string_view bytes, std::size_t lt, std::string_view name) {
  const std::string_view rest = bytes.substr(lt + 1);
  if (rest.size() <= name.size() || !ascii_iequals(rest.substr(0, name.size()), name)) return false;
  const char after = rest[name.size()];
  return is_blank(after) || after == '/' || after == '>';
}

bool opens_request(std::string_view bytes, std::size_t lt) {
  for (const std::string_view name : kRequestNames) {
    if (opens(bytes, lt, name)) return true;
  }
  return false;
}

// The offset of the first '<' that follows a '>' at or after `from`, white
// space between allowed, for which `wanted` holds; npos when none.
template <typename Wanted>
std::size_t tag_after_tag(std::string_view bytes, std::size_t from, Wanted wanted) {
  for (std::size_t gt = bytes.find('>', from); gt != std::string_view::npos;
       gt = bytes.find('>', gt + 1)) {
    std::size_t next = gt + 1;
    while (next < bytes.size() && is_blank(bytes[next])) ++next;
    if (next < bytes.size() && bytes[next] == '<' && wanted(next)) return next;
  }
  return std::string_view::npos;
}

// Whether `bytes` holds "</rpt" (any case) before `end`.
bool report_end_before(std::string_view bytes, std::size_t end) {
  for (std::size_t at = bytes.find("</"); at != std::string_view::npos && at < end;
       at = bytes.find("</", at + 1)) {
    if (ascii_iequals(bytes.substr(at + 2, 3), "rpt")) return true;
  }
  return false;
}

}  // namespace

bool ends_inside_tag(std::string_view bytes) {
  const std::size_t lt = bytes.rfind('<');
  return lt != std::string_view::npos && bytes.find('>', lt) == std::string_view::npos;
}

std::size_t joined_request_start(std::string_view bytes) {
  const std::size_t start =
      tag_after_tag(bytes, 0, [bytes](std::size_t lt) { return opens_request(bytes, lt); });
  return start == std::string_view::npos ? bytes.size() : start;
}

std::size_t joined_final_start(std::string_view bytes) {
  const std::size_t head = bytes.find('<');
  if (head == std::string_view::npos) return std::string_view::npos;
  const std::size_t head_end = bytes.find('>', head);
  if (head_end == std::string_view::npos) return std::string_view::npos;
  const bool head_closed = bytes[head_end - 1] == '/';
  return tag_after_tag(bytes, head_end, [bytes, head_closed](std::size_t lt) {
    return opens(bytes, lt, "ack") && (head_closed || report_end_before(bytes, lt));
  });
}

}  // namespace message_bounds
