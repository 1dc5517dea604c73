// What one tree of the service may show, worked out from every change sent
// to it and what the service answered, for the store's model-based test.
//
// The tree's paths come from a fixed set of files and folders that never
// trade kinds (no file path is a folder path or lies below a file path), so
// each path is at any moment absent, a folder, or a file holding one of a
// numbered pool of contents.
//
// The model knows the tree exactly at a pinned moment (the start, or a check
// while nothing ran) and keeps the changes sent since, each with the
// interval between its request and its reply. A change that got a success
// reply took effect at one instant inside its interval; a refused one had no
// effect; one without a reply (the service was killed) took effect inside
// its interval or never. So a path's state now is the effect of a change
// that no later success certainly followed (one whose request was sent
// after this change's reply), or the pinned state when no change succeeded.
// That set is what `candidates` returns: every state a sound store may show,
// and a little more, never less.
#ifndef BREVANTO_TESTS_STORE_MODEL_H_
#define BREVANTO_TESTS_STORE_MODEL_H_

#include <cstddef>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace store_model {

// A path's state: absent, a folder, or a file (the content's pool index,
// 0 and up). A file the service could not hand back is one of the
// negative codes below kUnreadable (kUnreadable - errcode).
constexpr int kAbsent = -1;
constexpr int kDirectory = -2;
constexpr int kUnknownBytes = -3;  // downloaded, but no content of the pool
constexpr int kSomeFile = -4;      // a file whose bytes were not read
constexpr int kUnreadable = -100;

enum class ChangeKind { kAddFile, kUpdateFile, kRemove, kAddDir };
enum class Outcome { kPending, kSuccess, kRefused, kUnanswered };

constexpr double kNever = std::numeric_limits<double>::infinity();

struct Change {
  ChangeKind kind;
  std::string path;   // "a\b", no leading backslash
  int content = -1;   // the pool index, for AddFile and UpdateFile
  double sent = 0;    // seconds on the test's steady clock
  double answered = kNever;
  Outcome outcome = Outcome::kPending;
};

// A tree as a map from path to state, absent paths left out.
using Snapshot = std::map<std::string, int>;

std::string describe_state(int state);
bool is_ancestor(const std::string& folder, const std::string& path);

class TreeModel {
 public:
  // `files` and `folders`: every path changes may name. Every folder above a
  // file or folder must itself be in `folders`. The tree starts empty.
  TreeModel(std::vector<std::string> files, std::vector<std::string> folders);

  const std::vector<std::string>& files() const { return files_; }
  const std::vector<std::string>& folders() const { return folders_; }
  bool knows(const std::string& path) const;

  // A change about to be sent; returns its number for `answer`.
  std::size_t send(ChangeKind kind, const std::string& path, int content, double now);
  void answer(std::size_t change, Outcome outcome, double now);
  // Changes still without a reply lose it (the service was killed).
  void unanswer_pending();

  // Every state `path` may be in now.
  std::set<int> candidates(const std::string& path) const;

  // Compares `seen` (every known path that a listing showed, with its
  // state) with the candidates of every known path; returns one line per
  // difference. When there is none, `seen` becomes the pinned tree and the
  // changes are forgotten.
  std::vector<std::string> check_and_pin(const Snapshot& seen);

  // Whether `shown` (a point's tree: the known paths it holds, absent ones
  // left out) is the tree as it may have been at one moment since the pin,
  // or after every change. A file of kSomeFile may hold any content.
  bool shown_at_some_moment(const Snapshot& shown) const;

  // Whether a file at `path` may ever have held `content`: the content of a
  // change to it that was not refused (a history point holds only those).
  bool ever_held(const std::string& path, int content) const;

  const Snapshot& pinned() const { return pinned_; }

  // The changes since the pin that sent `content`, one line each, with
  // their times relative to `origin`: what a report of a lost content needs.
  std::vector<std::string> changes_sending(int content, double origin) const;

 private:
  // The state `change` gives `path` if it takes effect; false if it leaves
  // the path alone.
  static bool effect_on(const Change& change, const std::string& path, int* state);
  // Every state `path` may have had at moment `t`: the effect of a change
  // sent before `t` that no success certainly made between it and `t`
  // followed, or the pinned state while no success certainly came.
  std::set<int> states_at(const std::string& path, double t) const;

  std::vector<std::string> files_;
  std::vector<std::string> folders_;
  Snapshot pinned_;
  std::vector<Change> changes_;
  // How many changes not refused sent each content to each path.
  std::map<std::string, std::map<int, int>> held_;
};

}  // namespace store_model

#endif  // BREVANTO_TESTS_STORE_MODEL_H_
