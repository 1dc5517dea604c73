#include "cli/inspect_commands.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <list>
#include <utility>
#include <vector>

#include "cli/exit_codes.h"
#include "cli/storage_path.h"
#include "cli/text.h"
#include "cli/units.h"

int run_ls(Session& session, const std::string& typed, bool recursive) {
  if (const int rc = session.open()) return rc;
  const std::string path = to_storage_path(typed);
  std::list<_path_buffer*> entries;
  const int status = session.client().getfilelist(widen(path).c_str(), recursive, entries);
  std::vector<std::pair<std::string, bool>> lines;
  for (const _path_buffer* entry : entries) {
    if (entry) lines.emplace_back(narrow(entry->full_path), entry->is_dir == 1);
  }
  session.client().releasefilelist(entries);
  if (status != 0) return session.fail("ls " + path, status);
  std::sort(lines.begin(), lines.end());
  for (const auto& [name, is_dir] : lines) {
    std::printf("%s%s\n", name.c_str(), is_dir && !name.empty() && name.back() != '\\' ? "\\" : "");
  }
  return exit_codes::kOk;
}

int run_stat(Session& session, const std::string& typed) {
  if (const int rc = session.open()) return rc;
  const std::string path = to_storage_path(typed);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  // The cloud back end leaves both numbers untouched: INT_MIN marks that.
  int backup_type = INT_MIN;
  int reversion = INT_MIN;
  const int status =
      session.client().getfileinfo(widen(path).c_str(), data, backup_type, reversion);
  if (status != 0) return session.fail("stat " + path, status);
  const auto number = [](int value) {
    return value == INT_MIN ? std::string("n/a") : std::to_string(value);
  };
  std::printf("path:        %s\n", path.c_str());
  std::printf("size:        %llu bytes\n", static_cast<unsigned long long>(
                                              join_halves(data.nFileSizeHigh, data.nFileSizeLow)));
  std::printf("created:     %s\n", filetime_text(data.ftCreationTime).c_str());
  std::printf("modified:    %s\n", filetime_text(data.ftLastWriteTime).c_str());
  std::printf("backup type: %s\n", number(backup_type).c_str());
  std::printf("reversion:   %s\n", number(reversion).c_str());
  return exit_codes::kOk;
}

int run_exists(Session& session, const std::string& typed) {
  if (const int rc = session.open()) return rc;
  const std::string path = to_storage_path(typed);
  const bool exists = session.client().is_path_exists(widen(path).c_str());
  std::printf("%s %s\n", path.c_str(), exists ? "exists" : "does not exist");
  return exists ? exit_codes::kOk : exit_codes::kFailed;
}

int run_df(Session& session) {
  if (const int rc = session.open()) return rc;
  // The local service back end answers 0 without touching the outputs.
  std::int64_t used = -1;
  std::int64_t free = -1;
  const int status = session.client().get_spaceinfo(used, free, 1 | 2);
  if (status != 0) return session.fail("df", status);
  const auto amount = [](std::int64_t bytes) {
    return bytes < 0 ? std::string("not available")
                     : std::to_string(bytes) + " bytes (" +
                           human_bytes(static_cast<std::uint64_t>(bytes)) + ")";
  };
  std::printf("used: %s\n", amount(used).c_str());
  std::printf("free: %s\n", amount(free).c_str());
  return exit_codes::kOk;
}
