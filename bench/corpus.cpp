#include "bench/corpus.h"

#include <cstdio>

namespace bench {

std::vector<std::string> listing_messages(std::size_t count, std::size_t* entries,
                                          const char* first_tag) {
  static const char* const kNames[] = {"IMG_%04zu.jpg", "r\xC3\xA9sum\xC3\xA9 %zu.pdf",
                                       "\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82-%zu.xlsx",
                                       "\xE5\x86\x99\xE7\x9C\x9F%zu.png", "notes %zu.txt"};
  std::vector<std::string> out;
  std::size_t n = 0;
  char name[64];
  for (std::size_t m = 0; m < count; ++m) {
    std::string msg = std::string("<") + first_tag + " Result=\"success\">";
    const std::string close = std::string("</") + first_tag + ">";
    for (;;) {
      std::snprintf(name, sizeof(name), kNames[n % 5], n);
      const char* kind = n % 7 == 0 ? "dir" : "file";
      std::string entry = std::string("<") + kind +
                          " ParentDir=\"\\backup\\\xD0\xA4\xD0\xBE\xD1\x82\xD0\xBE\\2024\\\" Name=\"" +
                          name + "\"/>";
      if (msg.size() + entry.size() + close.size() > 4096) break;
      msg += entry;
      ++n;
    }
    out.push_back(msg + close);
  }
  if (entries) *entries = n;
  return out;
}

std::vector<std::string> progress_reports(std::size_t count) {
  std::vector<std::string> out;
  char text[128];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(text, sizeof(text), "<RPT TotalBytes=\"53687091200\" CompleteBytes=\"%zu\"/>",
                  i * 1048576);
    out.push_back(text);
  }
  return out;
}

std::vector<std::string> file_info_replies(std::size_t count) {
  std::vector<std::string> out;
  char text[256];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(text, sizeof(text),
                  "<ACK Result=\"success\" Size=\"%zu\" CreateTime=\"13372101000000000\" "
                  "LastModifyTime=\"1337210%zu000000000\" BackupType=\"0\" Reversion=\"%zu\"/>",
                  i * 4099, i % 10, i % 5 + 1);
    out.push_back(text);
  }
  return out;
}

}  // namespace bench
