#include "service/store/catalog_rules.h"

#include "service/store/point_names.h"

namespace {

std::string where(std::int64_t user_id, const std::string& project) {
  std::string text = "user " + std::to_string(user_id);
  if (!project.empty()) text += " project " + project;
  return text + ": ";
}

}  // namespace

void CatalogRules::content(std::int64_t user_id, const std::string& sha256, std::int64_t size,
                           std::int64_t refs, const std::string& chunk_list) {
  ContentFacts& facts = contents_[ContentKey(user_id, sha256)];
  facts.size = size;
  facts.refs = refs;
  if (chunk_list.empty()) return;
  facts.chunked = true;
  std::vector<ChunkRef> chunks;
  if (!parse_chunk_list(chunk_list, &chunks)) {
    faults_.push_back(where(user_id, "") + "content " + sha256 + ": its chunk list is damaged");
    return;
  }
  std::int64_t total = 0;
  for (const ChunkRef& chunk : chunks) total += chunk.size;
  if (total != size) {
    faults_.push_back(where(user_id, "") + "content " + sha256 + ": its chunks hold " +
                      std::to_string(total) + " bytes, it has " + std::to_string(size));
  }
  chunk_lists_.emplace_back(ContentKey(user_id, sha256), distinct_chunks(chunks));
}

void CatalogRules::count_file(std::int64_t user_id, const std::string& project,
                              const std::string& path, const std::string& sha256,
                              std::int64_t size, const char* which) {
  const auto found = contents_.find(ContentKey(user_id, sha256));
  if (found == contents_.end()) {
    faults_.push_back(where(user_id, project) + path + which + ": its content " + sha256 +
                      " has no row");
    return;
  }
  ++found->second.rows;
  if (found->second.size != size) {
    faults_.push_back(where(user_id, project) + path + which + ": its size is " +
                      std::to_string(size) + " bytes, its content's " +
                      std::to_string(found->second.size));
  }
}

void CatalogRules::current(std::int64_t user_id, const std::string& project,
                           const std::string& parent, const std::string& name, bool is_dir,
                           const std::string& sha256, std::int64_t size) {
  ++entries_of_[user_id];
  if (parent.empty() && name.empty()) {  // a tree's top
    folders_.emplace(user_id, project, "\\");
    return;
  }
  if (folders_.count(std::make_tuple(user_id, project, parent)) == 0) {
    faults_.push_back(where(user_id, project) + parent + name + ": its folder " + parent +
                      " has no row");
  }
  if (is_dir) {
    folders_.emplace(user_id, project, parent + name + '\\');
  } else {
    count_file(user_id, project, parent + name, sha256, size, "");
  }
}

void CatalogRules::past(std::int64_t user_id, const std::string& project, const std::string& path,
                        bool is_dir, const std::string& sha256, std::int64_t size,
                        std::int64_t from_seq, std::int64_t to_seq) {
  ++entries_of_[user_id];
  if (from_seq >= to_seq) {
    faults_.push_back(where(user_id, project) + path + " (past version): it ends (" +
                      std::to_string(to_seq) + ") before it begins (" + std::to_string(from_seq) +
                      ")");
  }
  if (!is_dir) count_file(user_id, project, path, sha256, size, " (past version)");
}

void CatalogRules::usage(std::int64_t user_id, const Usage& used) { recorded_[user_id] = used; }

void CatalogRules::doomed(std::int64_t user_id, const std::string& sha256) {
  doomed_.emplace_back(user_id, sha256);
}

void CatalogRules::point(std::int64_t user_id, const std::string& project,
                         const std::string& name, std::int64_t seq) {
  if (user_id != point_user_ || project != point_project_) {
    point_user_ = user_id;
    point_project_ = project;
    previous_seq_ = -1;
  }
  std::int64_t time = 0;
  if (!point_name_time(name, &time)) {
    point_faults_.push_back(where(user_id, project) + "point " + name + ": not a point's name");
  }
  if (seq < previous_seq_) {
    point_faults_.push_back(where(user_id, project) + "point " + name + " (change " +
                            std::to_string(seq) + ") comes before point " + previous_point_ +
                            " (change " + std::to_string(previous_seq_) + ")");
  }
  previous_point_ = name;
  previous_seq_ = seq;
}

std::vector<std::string> CatalogRules::faults() {
  std::vector<std::string> out = faults_;
  for (const auto& [key, chunks] : chunk_lists_) {
    for (const ChunkRef& chunk : chunks) {
      const auto found = contents_.find(ContentKey(key.first, chunk.sha256));
      if (found == contents_.end() || found->second.chunked) {
        out.push_back(where(key.first, "") + "content " + key.second + ": its chunk " +
                      chunk.sha256 + " is not held");
        continue;
      }
      ++found->second.rows;
      if (found->second.size != chunk.size) {
        out.push_back(where(key.first, "") + "content " + key.second + ": its chunk " +
                      chunk.sha256 + " has " + std::to_string(found->second.size) +
                      " bytes, its list says " + std::to_string(chunk.size));
      }
    }
  }
  for (const auto& [key, facts] : contents_) {
    if (facts.refs != facts.rows) {
      out.push_back(where(key.first, "") + "content " + key.second + " counts " +
                    std::to_string(facts.refs) + " references, rows hold " +
                    std::to_string(facts.rows));
    }
  }
  // Each account's usage row (quotas) against what was counted here.
  std::map<std::int64_t, Usage> counted;
  for (const auto& [key, facts] : contents_) {
    if (!facts.chunked) counted[key.first].bytes += facts.size;
  }
  for (const auto& [user_id, entries] : entries_of_) counted[user_id].entries += entries;
  std::map<std::int64_t, Usage> recorded = recorded_;
  for (const auto& [user_id, used] : counted) recorded.emplace(user_id, Usage{});
  for (const auto& [user_id, used] : recorded) {
    const Usage real = counted[user_id];
    if (used.bytes != real.bytes || used.entries != real.entries) {
      out.push_back(where(user_id, "") + "its usage counts " + std::to_string(used.bytes) +
                    " bytes and " + std::to_string(used.entries) + " entries, it holds " +
                    std::to_string(real.bytes) + " and " + std::to_string(real.entries));
    }
  }
  for (const ContentKey& key : doomed_) {
    if (contents_.count(key) > 0) {
      out.push_back(where(key.first, "") + "content " + key.second +
                    " is doomed but still held: it would be deleted");
    }
  }
  out.insert(out.end(), point_faults_.begin(), point_faults_.end());
  return out;
}
