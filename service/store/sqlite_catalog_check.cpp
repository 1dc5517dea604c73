// The catalog's part of `brevanto-service check`: SQLite's own integrity
// check, then the store's rules, each row read once, in O(n log n):
//
// - every file row (current or past) names a content of its account that
//   the catalog holds, with the row's size;
// - every content's reference count is the number of rows naming it, and
//   no content that rows name is doomed (it would be deleted);
// - every current entry's folder is a current folder of its tree;
// - each account's usage (for its quota) is what its rows and contents
//   hold;
// - a past row ends after it began; each tree's points are named as
//   points are, and in the order of their names follow the order of
//   changes.
//
// Folders come before their entries in the primary key's order (a
// folder's listing form is a prefix of its entries' parent), so one pass
// over the current rows, remembering the folders seen, checks every parent.
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "service/store/point_names.h"
#include "service/store/sqlite_file_catalog.h"

namespace {

struct ContentFacts {
  std::int64_t size = 0;
  std::int64_t refs = 0;
  std::int64_t rows = 0;  // rows found naming it
};

using ContentKey = std::pair<std::int64_t, std::string>;

std::string where(std::int64_t user_id, const std::string& project) {
  std::string text = "user " + std::to_string(user_id);
  if (!project.empty()) text += " project " + project;
  return text + ": ";
}

}  // namespace

std::vector<std::string> SqliteFileCatalog::catalog_faults() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> faults;
  {
    SqliteDb::Statement st(db_, "PRAGMA integrity_check");
    while (st.step()) {
      const std::string line = st.text(0);
      if (line != "ok") faults.push_back("catalog damaged: " + line);
    }
  }

  std::map<ContentKey, ContentFacts> contents;
  std::map<std::int64_t, std::int64_t> entries_of;  // rows per account
  {
    SqliteDb::Statement st(db_, "SELECT user_id, sha256, size, refs FROM contents");
    while (st.step()) {
      ContentFacts& facts = contents[ContentKey(st.int64(0), st.text(1))];
      facts.size = st.int64(2);
      facts.refs = st.int64(3);
    }
  }
  // A file row's content: held, with the row's size.
  const auto count_file = [&](std::int64_t user_id, const std::string& project,
                              const std::string& path, const std::string& sha256,
                              std::int64_t size, const char* which) {
    const auto found = contents.find(ContentKey(user_id, sha256));
    if (found == contents.end()) {
      faults.push_back(where(user_id, project) + path + which + ": its content " + sha256 +
                       " has no row");
      return;
    }
    ++found->second.rows;
    if (found->second.size != size) {
      faults.push_back(where(user_id, project) + path + which + ": its size is " +
                       std::to_string(size) + " bytes, its content's " +
                       std::to_string(found->second.size));
    }
  };

  {
    // (user, project, folder's listing form) of every current folder.
    std::set<std::tuple<std::int64_t, std::string, std::string>> folders;
    SqliteDb::Statement st(db_,
                           "SELECT user_id, project, parent, name, is_dir, content, size"
                           " FROM nodes ORDER BY user_id, project, parent, name");
    while (st.step()) {
      const std::int64_t user_id = st.int64(0);
      const std::string project = st.text(1);
      const std::string parent = st.text(2);
      const std::string name = st.text(3);
      const bool is_dir = st.int64(4) != 0;
      ++entries_of[user_id];
      if (parent.empty() && name.empty()) {  // a tree's top
        folders.emplace(user_id, project, "\\");
        continue;
      }
      if (folders.count(std::make_tuple(user_id, project, parent)) == 0) {
        faults.push_back(where(user_id, project) + parent + name + ": its folder " + parent +
                         " has no row");
      }
      if (is_dir) {
        folders.emplace(user_id, project, parent + name + '\\');
      } else {
        count_file(user_id, project, parent + name, st.text(5), st.int64(6), "");
      }
    }
  }
  {
    SqliteDb::Statement st(db_,
                           "SELECT user_id, project, parent || name, is_dir, content, size,"
                           " from_seq, to_seq FROM history");
    while (st.step()) {
      const std::string path = st.text(2);
      ++entries_of[st.int64(0)];
      if (st.int64(6) >= st.int64(7)) {
        faults.push_back(where(st.int64(0), st.text(1)) + path + " (past version): it ends (" +
                         std::to_string(st.int64(7)) + ") before it begins (" +
                         std::to_string(st.int64(6)) + ")");
      }
      if (st.int64(3) == 0) {
        count_file(st.int64(0), st.text(1), path, st.text(4), st.int64(5), " (past version)");
      }
    }
  }
  for (const auto& [key, facts] : contents) {
    if (facts.refs != facts.rows) {
      faults.push_back(where(key.first, "") + "content " + key.second + " counts " +
                       std::to_string(facts.refs) + " references, rows hold " +
                       std::to_string(facts.rows));
    }
  }
  // Each account's usage row (quotas) against what was counted here.
  std::map<std::int64_t, Usage> counted;
  for (const auto& [key, facts] : contents) counted[key.first].bytes += facts.size;
  for (const auto& [user_id, entries] : entries_of) counted[user_id].entries += entries;
  {
    std::map<std::int64_t, Usage> recorded;
    SqliteDb::Statement st(db_, "SELECT user_id, bytes, entries FROM usage");
    while (st.step()) recorded[st.int64(0)] = Usage{st.int64(1), st.int64(2)};
    for (const auto& [user_id, used] : counted) recorded.emplace(user_id, Usage{});
    for (const auto& [user_id, used] : recorded) {
      const Usage real = counted[user_id];
      if (used.bytes != real.bytes || used.entries != real.entries) {
        faults.push_back(where(user_id, "") + "its usage counts " + std::to_string(used.bytes) +
                         " bytes and " + std::to_string(used.entries) + " entries, it holds " +
                         std::to_string(real.bytes) + " and " + std::to_string(real.entries));
      }
    }
  }
  {
    SqliteDb::Statement st(db_, "SELECT user_id, sha256 FROM doomed");
    while (st.step()) {
      if (contents.count(ContentKey(st.int64(0), st.text(1))) > 0) {
        faults.push_back(where(st.int64(0), "") + "content " + st.text(1) +
                         " is doomed but still held: it would be deleted");
      }
    }
  }
  {
    SqliteDb::Statement st(db_,
                           "SELECT user_id, project, name, seq FROM points"
                           " ORDER BY user_id, project, name");
    std::int64_t user_id = -1;
    std::string project;
    std::string previous_name;
    std::int64_t previous_seq = -1;
    while (st.step()) {
      if (st.int64(0) != user_id || st.text(1) != project) {
        user_id = st.int64(0);
        project = st.text(1);
        previous_seq = -1;
      }
      const std::string name = st.text(2);
      const std::int64_t seq = st.int64(3);
      std::int64_t time = 0;
      if (!point_name_time(name, &time)) {
        faults.push_back(where(user_id, project) + "point " + name + ": not a point's name");
      }
      if (seq < previous_seq) {
        faults.push_back(where(user_id, project) + "point " + name + " (change " +
                         std::to_string(seq) + ") comes before point " + previous_name +
                         " (change " + std::to_string(previous_seq) + ")");
      }
      previous_name = name;
      previous_seq = seq;
    }
  }
  return faults;
}
