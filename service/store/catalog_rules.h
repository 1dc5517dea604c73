// The store's rules that a catalog's rows must keep, checked as the rows
// are fed in, each row once, in O(n log n) (see store_check.h):
//
// - every file row (current or past) names a content of its account that
//   the catalog holds, with the row's size;
// - every content's reference count is the number of rows naming it (a
//   chunked content's list names each of its chunks once), and no content
//   that rows name is doomed (it would be deleted);
// - a chunked content's list is whole, its chunks add up to its size, and
//   each is held;
// - every current entry's folder is a current folder of its tree;
// - each account's usage (for its quota) is what its rows and contents
//   hold;
// - a past row ends after it began; each tree's points are named as
//   points are, and in the order of their names follow the order of
//   changes.
//
// Each catalog feeds its rows from its own database.
#ifndef BREVANTO_SERVICE_STORE_CATALOG_RULES_H_
#define BREVANTO_SERVICE_STORE_CATALOG_RULES_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "service/store/chunk_list.h"
#include "service/store/file_catalog.h"

class CatalogRules {
 public:
  // Every content first; `chunk_list` is a chunked content's list (an
  // outside content's data), empty for any other.
  void content(std::int64_t user_id, const std::string& sha256, std::int64_t size,
               std::int64_t refs, const std::string& chunk_list);
  // Then the current rows, ordered by (user, project, parent, name) in byte
  // order: a folder's listing form is a prefix of its entries' parent, so
  // folders come before their entries and one pass checks every parent.
  void current(std::int64_t user_id, const std::string& project, const std::string& parent,
               const std::string& name, bool is_dir, const std::string& sha256,
               std::int64_t size);
  // The past rows, in any order.
  void past(std::int64_t user_id, const std::string& project, const std::string& path,
            bool is_dir, const std::string& sha256, std::int64_t size, std::int64_t from_seq,
            std::int64_t to_seq);
  // The usage rows, the doomed contents, and the points ordered by (user,
  // project, name), in any order among the three.
  void usage(std::int64_t user_id, const Usage& used);
  void doomed(std::int64_t user_id, const std::string& sha256);
  void point(std::int64_t user_id, const std::string& project, const std::string& name,
             std::int64_t seq);
  // Every fault found, a line each; the counts are compared here.
  std::vector<std::string> faults();

  // A fault the caller found itself (its database's own check).
  void add_fault(std::string line) { faults_.push_back(std::move(line)); }

 private:
  struct ContentFacts {
    std::int64_t size = 0;
    std::int64_t refs = 0;
    std::int64_t rows = 0;  // rows found naming it
    bool chunked = false;
  };
  using ContentKey = std::pair<std::int64_t, std::string>;
  void count_file(std::int64_t user_id, const std::string& project, const std::string& path,
                  const std::string& sha256, std::int64_t size, const char* which);

  std::vector<std::string> faults_;
  std::map<ContentKey, ContentFacts> contents_;
  // Each chunked content's chunks, each once.
  std::vector<std::pair<ContentKey, std::vector<ChunkRef>>> chunk_lists_;
  std::map<std::int64_t, std::int64_t> entries_of_;  // rows per account
  // (user, project, folder's listing form) of every current folder.
  std::set<std::tuple<std::int64_t, std::string, std::string>> folders_;
  std::map<std::int64_t, Usage> recorded_;
  std::vector<ContentKey> doomed_;
  std::vector<std::string> point_faults_;
  std::int64_t point_user_ = -1;
  std::string point_project_;
  std::string previous_point_;
  std::int64_t previous_seq_ = -1;
};

#endif  // BREVANTO_SERVICE_STORE_CATALOG_RULES_H_
