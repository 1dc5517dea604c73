#include "tests/store_model.h"

#include <algorithm>
#include <cstdio>

namespace store_model {

std::string describe_state(int state) {
  if (state == kAbsent) return "absent";
  if (state == kDirectory) return "a folder";
  if (state == kUnknownBytes) return "a file of bytes never sent";
  if (state <= kUnreadable) return "a file whose download failed with error " +
                                   std::to_string(kUnreadable - state);
  return "content " + std::to_string(state);
}

bool is_ancestor(const std::string& folder, const std::string& path) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '\\';
}

TreeModel::TreeModel(std::vector<std::string> files, std::vector<std::string> folders)
    : files_(std::move(files)), folders_(std::move(folders)) {}

bool TreeModel::knows(const std::string& path) const {
  return std::find(files_.begin(), files_.end(), path) != files_.end() ||
         std::find(folders_.begin(), folders_.end(), path) != folders_.end();
}

std::size_t TreeModel::send(ChangeKind kind, const std::string& path, int content, double now) {
  Change change;
  change.kind = kind;
  change.path = path;
  change.content = content;
  change.sent = now;
  changes_.push_back(change);
  // Recorded before the request leaves, so that a download or a point
  // racing with this change may show its content.
  if (kind == ChangeKind::kAddFile || kind == ChangeKind::kUpdateFile) ++held_[path][content];
  return changes_.size() - 1;
}

void TreeModel::answer(std::size_t change, Outcome outcome, double now) {
  Change& c = changes_.at(change);
  c.outcome = outcome;
  if (outcome == Outcome::kRefused &&
      (c.kind == ChangeKind::kAddFile || c.kind == ChangeKind::kUpdateFile)) {
    --held_[c.path][c.content];
  }
  c.answered = outcome == Outcome::kUnanswered ? kNever : now;
}

void TreeModel::unanswer_pending() {
  for (Change& c : changes_) {
    if (c.outcome == Outcome::kPending) c.outcome = Outcome::kUnanswered;
  }
}

bool TreeModel::effect_on(const Change& change, const std::string& path, int* state) {
  switch (change.kind) {
    case ChangeKind::kAddFile:
      if (path == change.path) {
        *state = change.content;
        return true;
      }
      // An upload makes the folders above its file.
      if (is_ancestor(path, change.path)) {
        *state = kDirectory;
        return true;
      }
      return false;
    case ChangeKind::kUpdateFile:
      // Replaces the file; the folders above it were there already.
      if (path != change.path) return false;
      *state = change.content;
      return true;
    case ChangeKind::kRemove:
      if (path != change.path && !is_ancestor(change.path, path)) return false;
      *state = kAbsent;
      return true;
    case ChangeKind::kAddDir:
      if (path != change.path && !is_ancestor(path, change.path)) return false;
      *state = kDirectory;
      return true;
  }
  return false;
}

std::set<int> TreeModel::candidates(const std::string& path) const {
  std::vector<const Change*> effective;
  std::vector<double> successes_sent;
  for (const Change& c : changes_) {
    int state = 0;
    if (c.outcome == Outcome::kRefused || !effect_on(c, path, &state)) continue;
    effective.push_back(&c);
    if (c.outcome == Outcome::kSuccess) successes_sent.push_back(c.sent);
  }
  std::set<int> out;
  if (successes_sent.empty()) {
    const auto it = pinned_.find(path);
    out.insert(it == pinned_.end() ? kAbsent : it->second);
  }
  const double last_success_sent =
      successes_sent.empty() ? -kNever : *std::max_element(successes_sent.begin(),
                                                           successes_sent.end());
  for (const Change* c : effective) {
    // A success whose request left after this change's reply came later.
    if (last_success_sent > c->answered) continue;
    int state = 0;
    effect_on(*c, path, &state);
    out.insert(state);
  }
  return out;
}

std::set<int> TreeModel::states_at(const std::string& path, double t) const {
  std::vector<const Change*> effective;
  std::vector<double> done_sent;  // successes answered before t
  for (const Change& c : changes_) {
    int state = 0;
    if (c.outcome == Outcome::kRefused || c.sent >= t || !effect_on(c, path, &state)) continue;
    effective.push_back(&c);
    if (c.outcome == Outcome::kSuccess && c.answered < t) done_sent.push_back(c.sent);
  }
  std::set<int> out;
  if (done_sent.empty()) {
    const auto it = pinned_.find(path);
    out.insert(it == pinned_.end() ? kAbsent : it->second);
  }
  const double last = done_sent.empty() ? -kNever
                                        : *std::max_element(done_sent.begin(), done_sent.end());
  for (const Change* c : effective) {
    if (last > c->answered) continue;
    int state = 0;
    effect_on(*c, path, &state);
    out.insert(state);
  }
  return out;
}

bool TreeModel::shown_at_some_moment(const Snapshot& shown) const {
  // The sets change only at a request or a reply: look just before and
  // just after each, and after everything.
  std::vector<double> moments = {-kNever, kNever};
  for (const Change& c : changes_) {
    for (const double v : {c.sent, c.answered}) {
      if (v == kNever) continue;
      moments.push_back(v - 1e-7);
      moments.push_back(v + 1e-7);
    }
  }
  std::vector<std::string> all = files_;
  all.insert(all.end(), folders_.begin(), folders_.end());
  for (const double t : moments) {
    bool fits = true;
    for (const std::string& path : all) {
      const auto it = shown.find(path);
      const int state = it == shown.end() ? kAbsent : it->second;
      if (state <= kUnreadable || state == kUnknownBytes) continue;  // reported on its own
      const std::set<int> allowed = states_at(path, t);
      if (state == kSomeFile ? allowed.lower_bound(0) == allowed.end()
                             : allowed.count(state) == 0) {
        fits = false;
        break;
      }
    }
    if (fits) return true;
  }
  return false;
}

std::vector<std::string> TreeModel::check_and_pin(const Snapshot& seen) {
  std::vector<std::string> problems;
  for (const auto& entry : seen) {
    if (!knows(entry.first)) problems.push_back("\\" + entry.first + ": never named by a change");
  }
  std::vector<std::string> all = files_;
  all.insert(all.end(), folders_.begin(), folders_.end());
  for (const std::string& path : all) {
    const auto it = seen.find(path);
    const int state = it == seen.end() ? kAbsent : it->second;
    const std::set<int> allowed = candidates(path);
    if (allowed.count(state) != 0) continue;
    std::string text = "\\" + path + " is " + describe_state(state) + "; the model allows";
    for (const int a : allowed) text += " [" + describe_state(a) + "]";
    problems.push_back(text);
  }
  if (problems.empty()) {
    pinned_ = seen;
    changes_.clear();
  }
  return problems;
}

bool TreeModel::ever_held(const std::string& path, int content) const {
  const auto it = held_.find(path);
  if (it == held_.end()) return false;
  const auto count = it->second.find(content);
  return count != it->second.end() && count->second > 0;
}

std::vector<std::string> TreeModel::changes_sending(int content, double origin) const {
  static const char* const kinds[] = {"AddFile", "UpdateFile", "RemoveFile", "AddDir"};
  static const char* const outcomes[] = {"no reply yet", "success", "refused", "no reply"};
  std::vector<std::string> out;
  for (const Change& c : changes_) {
    if (c.content != content) continue;
    char times[64];
    std::snprintf(times, sizeof(times), "sent %.3f s, answered %.3f s", c.sent - origin,
                  c.answered - origin);
    out.push_back(std::string(kinds[static_cast<int>(c.kind)]) + " \\" + c.path + " " + times +
                  ": " + outcomes[static_cast<int>(c.outcome)]);
  }
  return out;
}

}  // namespace store_model
